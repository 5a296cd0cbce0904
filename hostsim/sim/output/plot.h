// The plot of a run: its columns over time, one panel per quantity (speeds,
// torques, ratios, ...), drawn by gnuplot into a PNG or an SVG; a
// reference result dashed under the result.
#pragma once

#include "hostsim/sim/output/output_file.h"
#include "hostsim/sim/output/reference.h"

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace dvx::sim {

// gnuplot on the PATH (or the program named by DVX_GNUPLOT), or an empty
// path when there is none.
std::filesystem::path FindGnuplot();

// "png" or "svg" by the file's extension (in any case), or empty.
std::string PlotFormat(const std::filesystem::path& file);
// Throws SimError when the file names no known format or gnuplot is not
// there: before a run, so that it does not run for nothing.
void CheckPlotFile(const std::filesystem::path& file);

// Draws every column of `samples` but the time (column 0) into `image`
// (the caller commits it); with `reference`, its columns of the same names
// dashed beneath. Throws SimError with a clear message when gnuplot is
// missing or fails.
void PlotRun(const std::vector<std::string>& columns, const std::vector<std::vector<double>>& samples,
             OutputFile& image, const std::string& title, const ReferenceComparison* reference = nullptr,
             int timeDigits = 12);

// Draws with gnuplot into `image` (PNG or SVG by its extension, 1000 pixels
// wide and `height` high; the caller commits it): each table is written to
// a temporary CSV file (its first column with `timeDigits`), and `body`
// writes the script's plots, given the files' names quoted for gnuplot,
// after the terminal, the output and the comma separator are set. Throws
// SimError when gnuplot is missing or fails.
void RunGnuplot(OutputFile& image, int height, const std::vector<std::vector<std::vector<double>>>& tables,
                const std::function<void(std::ostream&, const std::vector<std::string>&)>& body,
                int timeDigits = 12);

// A string for gnuplot's single quotes, in which '' stands for one quote.
std::string GnuplotQuoted(const std::string& text);

} // namespace dvx::sim

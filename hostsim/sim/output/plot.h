// The plot of a run: its columns over time, one panel per quantity (speeds,
// torques, ratios, ...), drawn by gnuplot into a PNG or an SVG; a
// reference result dashed under the result.
#pragma once

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
// Throws SimError when the file names no known format: before a run, so
// that it does not run for nothing. (A missing gnuplot is found after the
// run, whose CSV is then still written.)
void CheckPlotFile(const std::filesystem::path& file);

// Draws every column of `samples` but the time (column 0) into `file`, which
// appears only when complete; with `reference`, its columns of the same
// names dashed beneath. Throws SimError with a clear message when gnuplot
// is missing or fails.
void PlotRun(const std::vector<std::string>& columns, const std::vector<std::vector<double>>& samples,
             const std::filesystem::path& file, const std::string& title,
             const ReferenceComparison* reference = nullptr);

// Draws with gnuplot into `file` (PNG or SVG by its extension, 1000 pixels
// wide and `height` high), which appears only when complete: each table is
// written to a temporary CSV file, and `body` writes the script's plots,
// given the files' names quoted for gnuplot, after the terminal, the output
// and the comma separator are set. Throws SimError when gnuplot is missing
// or fails.
void RunGnuplot(const std::filesystem::path& file, int height,
                const std::vector<std::vector<std::vector<double>>>& tables,
                const std::function<void(std::ostream&, const std::vector<std::string>&)>& body);

// A string for gnuplot's single quotes, in which '' stands for one quote.
std::string GnuplotQuoted(const std::string& text);

} // namespace dvx::sim

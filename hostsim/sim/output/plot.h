// The plot of a run: its columns over time, one panel per quantity (speeds,
// torques, ratios, ...), drawn by gnuplot into a PNG or an SVG; a
// reference result dashed under the result.
#pragma once

#include "hostsim/sim/output/reference.h"

#include <filesystem>
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

} // namespace dvx::sim

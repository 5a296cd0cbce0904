// The plot of a run: speeds and torques of the recorded instances over time,
// drawn by gnuplot from the run's CSV into a PNG.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dvx::sim {

// gnuplot on the PATH (or the program named by DVX_GNUPLOT), or an empty
// path when there is none.
std::filesystem::path FindGnuplot();

// Draws the OMEGA and M columns of `samples` (column 0 is the time) into
// `png`, which appears only when complete. Throws SimError with a clear
// message when gnuplot is missing or fails.
void PlotRun(const std::vector<std::string>& columns, const std::vector<std::vector<double>>& samples,
             const std::filesystem::path& png, const std::string& title);

} // namespace dvx::sim

// Numbers as the CSV and the summary print them.
#pragma once

#include <string>

namespace dvx::sim {

// The shortest text that keeps `digits` significant digits, the same on
// every platform.
std::string FormatNumber(double value, int digits = 12);

} // namespace dvx::sim

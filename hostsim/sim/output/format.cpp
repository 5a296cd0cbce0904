#include "hostsim/sim/output/format.h"

#include <charconv>

namespace dvx::sim {

std::string FormatNumber(double value, int digits) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
    return std::string(buffer, r.ptr);
}

} // namespace dvx::sim

#include "hostsim/sim/input/error.h"

#include <charconv>
#include <sstream>

namespace dvx::sim {

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        static const char kHex[] = "0123456789abcdef";
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
    }
    return out;
}

std::string ShortestText(double value) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, r.ptr);
}

std::string TimeText(double t) {
    std::ostringstream text;
    text.precision(10);
    text << t;
    return text.str();
}

std::string FormatNumber(double value, int digits) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
    return std::string(buffer, r.ptr);
}

} // namespace dvx::sim

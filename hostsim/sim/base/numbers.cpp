#include "hostsim/sim/base/numbers.h"

#include <charconv>
#include <sstream>

namespace dvx::sim {

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

std::string WithArticle(const std::string& word) {
    const bool vowel = !word.empty() && std::string("aeiouAEIOU").find(word[0]) != std::string::npos;
    return (vowel ? "an " : "a ") + word;
}

} // namespace dvx::sim

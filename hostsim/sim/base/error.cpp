#include "hostsim/sim/base/error.h"

namespace dvx::sim {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) length = 2;
    else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    }
    if (length == 0 || i + length > text.size()) return 0;
    if (at(i + 1) < low || at(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xbf) return 0;
    return length;
}

} // namespace

std::string Printable(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7f) {
            out += text[i++];
            continue;
        }
        if (const size_t length = byte >= 0x80 ? Utf8Length(text, i) : 0; length > 0) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
        ++i;
    }
    return out;
}

} // namespace dvx::sim

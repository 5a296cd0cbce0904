#include "hostsim/kit/emulated/text_codes.h"

#include <cstring>
#include <vector>

namespace dvx::host::guest {

namespace {

enum : uint32_t { kCpAcp = 0, kCp1252 = 1252, kCpAscii = 20127, kCpUtf8 = 65001 };

// Windows-1252's bytes 0x80 to 0x9f; the five it leaves undefined map to the
// code point of the same number, as Windows maps them.
constexpr char16_t k1252High[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178};

void AppendUtf16(std::u16string& out, uint32_t code) {
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
        return;
    }
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xd800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xdc00 + (code & 0x3ff)));
}

// UTF-8 with every malformed or overlong sequence read as U+FFFD.
std::u16string DecodeUtf8(const uint8_t* s, size_t n) {
    std::u16string out;
    for (size_t i = 0; i < n;) {
        const uint8_t b = s[i];
        int extra = -1; // continuation bytes after the lead byte
        if (b < 0x80)
            extra = 0;
        else if (b >= 0xc2 && b < 0xe0)
            extra = 1;
        else if (b >= 0xe0 && b < 0xf0)
            extra = 2;
        else if (b >= 0xf0 && b < 0xf5)
            extra = 3;
        if (extra < 0 || n - i <= static_cast<size_t>(extra)) {
            out.push_back(0xfffd);
            ++i;
            continue;
        }
        uint32_t code = extra == 0 ? b : b & (0x3fu >> extra);
        bool good = true;
        for (int k = 1; k <= extra; ++k) {
            good = good && (s[i + static_cast<size_t>(k)] & 0xc0) == 0x80;
            code = (code << 6) | (s[i + static_cast<size_t>(k)] & 0x3fu);
        }
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (!good || code < least[extra] || code > 0x10ffff || (code >= 0xd800 && code < 0xe000)) {
            out.push_back(0xfffd);
            ++i;
            continue;
        }
        AppendUtf16(out, code);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::u16string Decode(uint32_t codePage, const uint8_t* s, size_t n) {
    if (codePage == kCpUtf8) return DecodeUtf8(s, n);
    std::u16string out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = s[i];
        if (codePage == kCpAscii)
            out.push_back(b < 0x80 ? b : u'?');
        else
            out.push_back(b >= 0x80 && b < 0xa0 ? k1252High[b - 0x80] : b);
    }
    return out;
}

// Into `codePage`; what it cannot hold becomes `fallback`, and *defaulted
// says so.
std::string Encode(uint32_t codePage, const std::u16string& text, char fallback, bool* defaulted) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (codePage == kCpUtf8) {
            if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] < 0xe000)
                c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
            else if (c >= 0xd800 && c < 0xe000)
                c = 0xfffd;
            const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
            const uint8_t lead[] = {0x00, 0xc0, 0xe0, 0xf0};
            out.push_back(static_cast<char>(lead[extra] | (c >> (6 * extra))));
            for (int k = extra - 1; k >= 0; --k) out.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3f)));
            continue;
        }
        int byte = -1;
        if (c < 0x80 || (codePage != kCpAscii && c >= 0xa0 && c < 0x100)) byte = static_cast<int>(c);
        for (int k = 0; codePage != kCpAscii && byte < 0 && k < 32; ++k)
            if (k1252High[k] == c) byte = 0x80 + k;
        if (byte < 0) {
            *defaulted = true;
            byte = static_cast<unsigned char>(fallback);
        }
        out.push_back(static_cast<char>(byte));
    }
    return out;
}

uint32_t Normalised(uint32_t codePage) { return codePage == kCpAcp ? kCp1252 : codePage; }

} // namespace

bool KnownCodePage(uint32_t codePage) {
    return codePage == kCpAcp || codePage == kCp1252 || codePage == kCpAscii || codePage == kCpUtf8;
}

std::u16string ReadWideText(const Machine& machine, uint32_t address) {
    std::u16string text;
    for (uint32_t at = address;; at += 2) {
        const void* unit = machine.Host(at, 2);
        if (unit == nullptr) throw GuestFault("a wide text that runs into unmapped memory");
        char16_t c = 0;
        std::memcpy(&c, unit, 2);
        if (c == 0) return text;
        text.push_back(c);
    }
}

// (code page, flags, text, its length or -1, buffer, its length in UTF-16 units)
uint32_t MultiByteToWideChar(ApiCall& c) {
    const uint32_t codePage = c.Arg(0);
    const int32_t length = c.SignedArg(3), room = c.SignedArg(5);
    if (!KnownCodePage(codePage) || length == 0 || length < -1 || room < 0 || c.Arg(2) == 0) {
        c.process.SetLastError(kErrorInvalidParameter);
        return 0;
    }
    const size_t n = length == -1 ? std::strlen(c.Text(2)) + 1 : static_cast<size_t>(length);
    const auto* source = static_cast<const uint8_t*>(c.Bytes(2, n));
    const std::u16string wide = Decode(Normalised(codePage), source, n);
    if (room == 0) return static_cast<uint32_t>(wide.size());
    if (wide.size() > static_cast<size_t>(room)) {
        c.process.SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    std::memcpy(c.Bytes(4, 2 * wide.size()), wide.data(), 2 * wide.size());
    return static_cast<uint32_t>(wide.size());
}

// (code page, flags, text, its length or -1, buffer, its length in bytes,
// default character, whether it was used)
uint32_t WideCharToMultiByte(ApiCall& c) {
    const uint32_t codePage = c.Arg(0);
    const int32_t length = c.SignedArg(3), room = c.SignedArg(5);
    const bool utf8 = codePage == kCpUtf8;
    if (!KnownCodePage(codePage) || length == 0 || length < -1 || room < 0 || c.Arg(2) == 0 ||
        (utf8 && (c.Arg(6) != 0 || c.Arg(7) != 0))) {
        c.process.SetLastError(kErrorInvalidParameter);
        return 0;
    }
    std::u16string wide;
    if (length == -1) {
        wide = ReadWideText(c.process.machine, c.Arg(2));
        wide.push_back(u'\0');
    } else {
        wide.resize(static_cast<size_t>(length));
        std::memcpy(wide.data(), c.Bytes(2, 2 * wide.size()), 2 * wide.size());
    }
    const char* fallback = static_cast<const char*>(c.Bytes(6, 1));
    bool defaulted = false;
    const std::string bytes = Encode(Normalised(codePage), wide, fallback != nullptr ? *fallback : '?', &defaulted);
    if (auto* used = static_cast<int32_t*>(c.Bytes(7, 4))) *used = defaulted ? 1 : 0;
    if (room == 0) return static_cast<uint32_t>(bytes.size());
    if (bytes.size() > static_cast<size_t>(room)) {
        c.process.SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    std::memcpy(c.Bytes(4, bytes.size()), bytes.data(), bytes.size());
    return static_cast<uint32_t>(bytes.size());
}

} // namespace dvx::host::guest

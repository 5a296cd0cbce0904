// printf's formatting for the guest (vfprintf): conversions with their
// flags, width and precision, the arguments read from the guest's va_list
// (32-bit slots; 64-bit integers and doubles take two), each conversion
// formatted by the host's snprintf. %n is refused: it would let a format
// text write into the library's memory.
#include "hostsim/kit/emulated/guest_process.h"
#include "hostsim/kit/emulated/text_codes.h"

#include <cstdio>
#include <cstring>

namespace dvx::host::guest {

namespace {

class GuestArguments {
public:
    GuestArguments(const Machine& machine, uint32_t at) : machine_(machine), at_(at) {}
    uint32_t Word() {
        const uint32_t value = machine_.Read32(at_);
        at_ += 4;
        return value;
    }
    uint64_t Long() {
        const uint64_t low = Word();
        return low | (uint64_t{Word()} << 32);
    }
    double Double() {
        const uint64_t bits = Long();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const Machine& machine_;
    uint32_t at_;
};

// The printf directive `directive` (the host's syntax, without a length
// modifier) applied to a value.
template <typename T>
void Append(std::string& out, const std::string& directive, int width, int precision, T value) {
    char buffer[512];
    int n = 0;
    if (width >= 0 && precision >= 0)
        n = snprintf(buffer, sizeof buffer, directive.c_str(), width, precision, value);
    else if (width >= 0)
        n = snprintf(buffer, sizeof buffer, directive.c_str(), width, value);
    else if (precision >= 0)
        n = snprintf(buffer, sizeof buffer, directive.c_str(), precision, value);
    else
        n = snprintf(buffer, sizeof buffer, directive.c_str(), value);
    if (n > 0) out.append(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

// msvcrt writes an exponent with at least three digits ("1e+002"): the
// host's two become three, taking the room of one padding space.
void WidenExponent(std::string& out, size_t from) {
    for (size_t e = from; e + 2 < out.size(); ++e) {
        if ((out[e] != 'e' && out[e] != 'E') || (out[e + 1] != '+' && out[e + 1] != '-')) continue;
        size_t digits = e + 2;
        while (digits < out.size() && out[digits] >= '0' && out[digits] <= '9') ++digits;
        if (digits - (e + 2) == 2) {
            out.insert(e + 2, 1, '0');
            if (out[from] == ' ') out.erase(from, 1);
        }
        return;
    }
}

} // namespace

std::string FormatGuest(const Machine& machine, const char* format, uint32_t args) {
    GuestArguments next(machine, args);
    std::string out;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            out.push_back(*f);
            continue;
        }
        std::string directive = "%";
        ++f;
        while (*f != '\0' && std::strchr("-+ #0", *f) != nullptr) directive.push_back(*f++);
        int width = -1, precision = -1;
        if (*f == '*') {
            width = static_cast<int32_t>(next.Word());
            directive.push_back(*f++);
        } else {
            while (*f >= '0' && *f <= '9') directive.push_back(*f++);
        }
        if (*f == '.') {
            directive.push_back(*f++);
            if (*f == '*') {
                precision = static_cast<int32_t>(next.Word());
                directive.push_back(*f++);
            } else {
                while (*f >= '0' && *f <= '9') directive.push_back(*f++);
            }
        }
        bool wide64 = false, wideText = false;
        for (;; ++f) {
            if (std::strncmp(f, "I64", 3) == 0 || std::strncmp(f, "ll", 2) == 0) {
                wide64 = true;
                f += (*f == 'I') ? 2 : 1;
            } else if (std::strncmp(f, "I32", 3) == 0) {
                f += 2;
            } else if (*f == 'l' || *f == 'w') {
                wideText = true;
            } else if (*f != 'h' && *f != 'L' && *f != 'z' && *f != 'j' && *f != 't' && *f != 'I') {
                break;
            }
        }
        const char conversion = *f;
        if (conversion == '\0') break;
        if (conversion == 'n') throw GuestFault("vfprintf: a format with %n");
        if (conversion == '%') {
            out.push_back('%');
            continue;
        }
        if (std::strchr("diouxXc", conversion) != nullptr) {
            if (wide64)
                Append(out, directive + "ll" + conversion, width, precision, static_cast<long long>(next.Long()));
            else if (conversion == 'd' || conversion == 'i')
                Append(out, directive + conversion, width, precision, static_cast<int32_t>(next.Word()));
            else
                Append(out, directive + conversion, width, precision, next.Word());
        } else if (std::strchr("eEfFgGaA", conversion) != nullptr) {
            const size_t from = out.size();
            Append(out, directive + conversion, width, precision, next.Double());
            if (std::strchr("eEgG", conversion) != nullptr) WidenExponent(out, from);
        } else if (conversion == 'p') {
            Append(out, std::string("%08X"), -1, -1, next.Word()); // msvcrt's form of a 32-bit pointer
        } else if (conversion == 's' || conversion == 'S') {
            const uint32_t at = next.Word();
            std::string text = "(null)";
            if (at != 0 && (wideText || conversion == 'S')) {
                text.clear();
                for (char16_t ch : ReadWideText(machine, at)) text.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
            } else if (at != 0) {
                const char* guestText = machine.Text(at);
                if (guestText == nullptr) throw GuestFault("vfprintf: a %s argument that is not a readable text");
                text = guestText;
            }
            Append(out, directive + 's', width, precision, text.c_str());
        } else {
            out.append(directive).push_back(conversion); // not a conversion: printed as written
        }
    }
    return out;
}

} // namespace dvx::host::guest

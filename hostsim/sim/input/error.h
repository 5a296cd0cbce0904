// The one exception of the host simulator, and the texts of numbers and
// times that its messages use.
#pragma once

#include <stdexcept>
#include <string>

namespace dvx::sim {

// `text` with every control byte (a NUL included) and every byte that is
// not part of well-formed UTF-8 written as \xNN, so that what a file or an
// argument holds reaches a terminal as text, and whole.
std::string Printable(const std::string& text);

// A bad model file, a bad argument or a failed run: one message that names
// the file and place (or the instance and call) and says what is wrong.
// Control bytes in it are shown as \xNN (Printable).
class SimError : public std::runtime_error {
public:
    explicit SimError(const std::string& what) : std::runtime_error(Printable(what)) {}
};

// The shortest text that reads back as `value` (std::to_chars), for
// messages and for a number given where text is passed on.
std::string ShortestText(double value);

// "at t = ..." for messages, to ten digits.
std::string TimeText(double t);

// A number as the CSV and the summary print it: the shortest text that
// keeps `digits` significant digits, the same on every platform.
std::string FormatNumber(double value, int digits = 12);

} // namespace dvx::sim

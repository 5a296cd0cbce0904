// The one exception of the host simulator.
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

} // namespace dvx::sim

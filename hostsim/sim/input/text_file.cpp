#include "hostsim/sim/input/text_file.h"

#include "hostsim/sim/base/error.h"

#include <fstream>
#include <system_error>
#include <vector>

namespace dvx::sim {

std::string ReadTextFile(const std::filesystem::path& file, const std::string& what, size_t limit) {
    std::error_code error;
    if (std::filesystem::is_directory(file, error))
        throw SimError(file.string() + ": names a folder, not " + what);
    std::ifstream in(file, std::ios::binary);
    if (!in) throw SimError(file.string() + ": cannot open " + what);
    std::string text;
    std::vector<char> chunk(size_t{1} << 16);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        if (text.size() + got > limit)
            throw SimError(file.string() + ": " + what + " holds more than " + std::to_string(limit >> 20) +
                           " MiB, the most this tool reads");
        text.append(chunk.data(), got);
    }
    if (in.bad()) throw SimError(file.string() + ": cannot read " + what);
    return text;
}

} // namespace dvx::sim

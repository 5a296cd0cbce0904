#include "hostsim/sim/output/atomic_file.h"

#include "hostsim/sim/input/error.h"

#include <atomic>
#include <chrono>
#include <system_error>

namespace dvx::sim {

namespace {

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return ".partial-" + std::to_string(static_cast<unsigned long long>(now) % 1000000007ull) + "-" +
           std::to_string(counter++);
}

} // namespace

AtomicFile::AtomicFile(const std::filesystem::path& target) : target_(target) {
    temp_ = target;
    temp_ += UniqueSuffix();
    stream_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!stream_) throw SimError(target.string() + ": cannot create the output file (is the folder there and writable?)");
}

AtomicFile::~AtomicFile() {
    if (committed_) return;
    stream_.close();
    std::error_code ignored;
    std::filesystem::remove(temp_, ignored);
}

void AtomicFile::Commit() {
    if (stream_.is_open()) {
        stream_.flush();
        const bool good = stream_.good();
        stream_.close();
        if (!good || stream_.fail()) throw SimError(target_.string() + ": writing the output file failed");
    }
    std::error_code error;
    std::filesystem::rename(temp_, target_, error);
    if (error) throw SimError(target_.string() + ": cannot put the finished file in place: " + error.message());
    committed_ = true;
}

} // namespace dvx::sim

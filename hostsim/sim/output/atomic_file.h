// An output file that appears under its name only when it is complete: it
// is written under a temporary name beside the target and renamed by
// Commit(). Without Commit() the temporary file is removed again, and a file
// that already stood under the name is left as it was.
#pragma once

#include <filesystem>
#include <fstream>

namespace dvx::sim {

class AtomicFile {
public:
    explicit AtomicFile(const std::filesystem::path& target); // throws SimError
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    std::ofstream& Stream() { return stream_; }
    const std::filesystem::path& TempPath() const { return temp_; }
    // Closes the file, checks that every byte was written and renames it
    // onto the target; throws SimError naming the target otherwise.
    void Commit();
    // For writers that produce the file themselves (gnuplot): close the
    // stream so that the temporary name is free, then Commit() renames.
    void CloseStream() { stream_.close(); }

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::ofstream stream_;
    bool committed_ = false;
};

} // namespace dvx::sim

// An output file of a run (CSV, plot, summary), written so that nothing is
// lost or left behind:
// - The path is checked when the file is claimed, before the run: a folder,
//   a missing folder or a place that cannot be written is refused at once.
// - A symbolic link is followed; what it names is written.
// - A regular file (or none yet) is written under a temporary name beside
//   it and renamed onto it by Commit(): it appears only when complete, and
//   keeps the mode (and, where the process may, the owner) of the file it
//   replaces.
// - Anything else (a device such as /dev/null or /dev/stdout, a FIFO) is
//   written to directly at Commit(), from a temporary copy, so that a
//   failed run writes nothing into it either.
// - Without Commit() the temporary file goes again, also when the process
//   is stopped by SIGINT, SIGTERM or SIGHUP (which then exits with status
//   128 + the signal).
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace dvx::sim {

class OutputFile {
public:
    // `option` names the file in messages ("--csv"). Throws SimError.
    OutputFile(const std::filesystem::path& path, std::string option);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The content, written in order.
    std::ofstream& Stream() { return stream_; }
    // For writers that produce the content themselves (gnuplot): the file
    // they write; Commit() takes it from there. Closes Stream().
    std::filesystem::path Scratch();
    // Puts the content in place; throws SimError naming the file otherwise.
    void Commit();

    const std::filesystem::path& Path() const { return path_; }     // as given
    const std::filesystem::path& Target() const { return target_; } // what it names
    // Whether two outputs name the same file.
    bool SameTarget(const OutputFile& other) const;
    // Whether the file is this process's standard output.
    bool IsStandardOutput() const;

private:
    std::string Where() const { return option_ + " " + path_.string() + ": "; }

    std::filesystem::path path_, target_, temp_;
    std::string option_;
    std::ofstream stream_;
    bool special_ = false;  // a device or FIFO: written to directly at Commit()
    bool existed_ = false;  // a regular file stood there
    unsigned mode_ = 0;     // its mode, or the one a new file gets
    long owner_ = -1, group_ = -1;
    unsigned long long device_ = 0, inode_ = 0; // of an existing target
    bool committed_ = false;
    int slot_ = -1; // in the list of temporary files a signal removes
};

// A file of the run's own (a plot script, its data) under a new name in
// the system's temporary folder, removed when it goes out of scope or a
// signal stops the process.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& stem); // throws SimError
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
    int slot_ = -1;
};

} // namespace dvx::sim

// The output files of a command, claimed before its work (a path that cannot
// take one, or two outputs on one file, end the program first) and put in
// place together after it has succeeded.
#pragma once

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/output/output_file.h"

#include <memory>
#include <string>
#include <vector>

namespace dvx::tool {

class Outputs {
public:
    // Throws SimError naming the option and the path.
    sim::OutputFile& Claim(const std::string& path, const char* option) {
        auto file = std::make_unique<sim::OutputFile>(path, option);
        for (size_t k = 0; k < files_.size(); ++k)
            if (files_[k]->SameTarget(*file))
                throw sim::SimError(std::string(option) + " " + path + ": the same file as " + options_[k] + " " +
                                    files_[k]->Path().string() + "; give each output a file of its own");
        files_.push_back(std::move(file));
        options_.push_back(option);
        return *files_.back();
    }
    void CommitAll() {
        for (const auto& file : files_) file->Commit();
    }
    // With an output on the standard output, what a command prints goes to
    // the error stream, so that a pipe receives the file alone.
    bool OnStandardOutput() const {
        for (const auto& file : files_)
            if (file->IsStandardOutput()) return true;
        return false;
    }

private:
    std::vector<std::unique_ptr<sim::OutputFile>> files_;
    std::vector<std::string> options_; // the option that claimed each
};

} // namespace dvx::tool

// dolvanex-host batch: many variants of one model in one process. The model
// file is read once and the library loaded once; each variant (a line of
// JSON on the standard input or in --variants) is run on instances set up
// and released afresh, and its result line written and flushed before the
// next variant is read. A variant that fails or runs past its time limit
// fails alone; the batch goes on (docs/batch.md).
#pragma once

#include <CLI/CLI.hpp>

#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace dvx::tool {

class BatchCommand {
public:
    explicit BatchCommand(CLI::App& app);
    // The exit code when `batch` was parsed, or nothing: the worst of the
    // variants' (1 before 2 before 0). Throws sim::SimError when the model
    // cannot be read or the library loaded, before any variant.
    std::optional<int> Run(std::istream& in, std::ostream& out) const;

private:
    CLI::App* command_ = nullptr;
    std::string model_, library_, variants_;
    double timeout_ = 0.0;
    CLI::Option* timeoutGiven_ = nullptr;
};

} // namespace dvx::tool

// dolvanex-host run: a model file simulated, its summary printed, and its
// CSV, plot and summary document written, each claimed before the run and
// put in place after it.
#pragma once

#include <CLI/CLI.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace dvx::sim {
struct RunOptions;
}

namespace dvx::tool {

class RunCommand {
public:
    // Adds the subcommand and its options to `app`.
    explicit RunCommand(CLI::App& app);
    // The exit code when `run` was parsed, or nothing. Throws sim::SimError
    // on a failure.
    std::optional<int> Run(std::ostream& out, std::ostream& err) const;

private:
    struct Args {
        std::string model;
        std::string library;
        double start = 0, stop = 0, step = 0, interval = 0, rtol = 0, atol = 0, maxStep = 0, maxSteps = 0;
        std::string method;
        std::vector<std::string> params, sets, outputs;
        std::string csv, plot, reference, summaryJson;
        double referenceTolerance = 0;
        bool logCalls = false;
        bool ownBlocks = false;
    };
    void AddSettings();
    void AddFiles();
    bool Has(const char* option) const { return given_.at(option)->count() > 0; }
    sim::RunOptions Options() const;
    int Execute(sim::RunOptions& o, std::chrono::steady_clock::time_point began, std::ostream& out,
                std::ostream& err) const;

    CLI::App* command_ = nullptr;
    Args args_;
    std::map<std::string, CLI::Option*> given_;
};

} // namespace dvx::tool

// dolvanex-host run: a model file simulated, its summary printed, and its
// CSV, plot and summary document written, each claimed before the run and
// put in place after it.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

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

// The files a run writes and the tolerance its reference is judged by, as
// run's options (or a batch's variant) give them.
struct RunFiles {
    std::optional<std::string> csv, plot, summaryJson;
    std::optional<double> referenceTolerance;
    bool standardOutputTaken = false; // a batch's results go there: no file may
};

// Runs `o`: its files claimed first and committed once it has succeeded,
// the summary printed on `out` (on `err` where a file goes to the standard
// output), warnings and failed checks on `err`. Returns the exit status, 0
// or 2 (completed, but a check failed); throws sim::SimError on a failure.
// `document`, where given, receives the summary document, written or not.
int ExecuteRun(sim::RunOptions& o, const RunFiles& files, std::chrono::steady_clock::time_point began,
               std::ostream& out, std::ostream& err, nlohmann::ordered_json* document = nullptr);

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
    RunFiles Files() const;

    CLI::App* command_ = nullptr;
    Args args_;
    std::map<std::string, CLI::Option*> given_;
};

} // namespace dvx::tool

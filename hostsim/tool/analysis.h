// The analysis commands of dolvanex-host: modes (natural frequencies, damping
// and mode shapes of the model linearised at a time) and response (the
// frequency response from a source to an output column there).
#pragma once

#include "hostsim/sim/analysis/modes.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace dvx::tool {

class AnalysisCommands {
public:
    // Adds the two subcommands and their options to `app`.
    explicit AnalysisCommands(CLI::App& app);
    // The exit code of the subcommand that was parsed, or nothing when it was
    // neither. Throws sim::SimError on a failure.
    std::optional<int> Run(std::ostream& out, std::ostream& err) const;

private:
    struct Common {
        std::string model, library, csv, plot;
        double at = 0.0;
        CLI::Option* atGiven = nullptr;
        CLI::Option* csvGiven = nullptr;
        CLI::Option* plotGiven = nullptr;
        std::vector<std::string> sets;
    };
    void AddCommon(CLI::App* command, Common& c, const char* csvText, const char* plotText);
    // Throws SimError naming a bad --count, --below or --solver.
    sim::ModeRequest ModeRequest() const;

    CLI::App* modes_ = nullptr;
    CLI::App* response_ = nullptr;
    Common modesArgs_, responseArgs_;
    // modes: --count, --below, --solver
    int count_ = 0;
    double below_ = 0.0;
    std::string solver_ = "auto";
    CLI::Option* countGiven_ = nullptr;
    CLI::Option* belowGiven_ = nullptr;
    std::string input_, output_;
    double from_ = 0.1, to_ = 100.0;
    int points_ = 300;
};

} // namespace dvx::tool

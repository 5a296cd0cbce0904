// The analysis commands of dolvanex-host: modes (natural frequencies, damping
// and mode shapes of the model linearised at a time), response (the
// frequency response from a source to an output column there), campbell
// and order-response (the same over a node's speed).
#pragma once

#include "hostsim/sim/analysis/modes.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace dvx::tool {

// campbell (the natural frequencies over a node's speed, with engine-order
// lines and their crossings) and order-response (the steady-state amplitude
// of outputs over speed, under a harmonic of an engine order at sources).
class OrderCommands {
public:
    explicit OrderCommands(CLI::App& app);
    std::optional<int> Run(std::ostream& out, std::ostream& err) const;

private:
    struct Sweep {
        std::string model, library, node, csv, plot;
        double at = 0.0, from = 0.0, to = 0.0;
        int points = 200;
        CLI::Option* atGiven = nullptr;
        CLI::Option* csvGiven = nullptr;
        CLI::Option* plotGiven = nullptr;
        std::vector<std::string> sets;
    };
    void AddSweep(CLI::App* command, Sweep& s, const char* csvText, const char* plotText);
    int RunCampbell(std::ostream& out, std::ostream& err) const;
    int RunOrderResponse(std::ostream& out, std::ostream& err) const;

    CLI::App* campbell_ = nullptr;
    CLI::App* orderResponse_ = nullptr;
    Sweep campbellArgs_, orderArgs_;
    std::string orders_ = "1,2", operating_, crossings_;
    CLI::Option* operatingGiven_ = nullptr;
    CLI::Option* crossingsGiven_ = nullptr;
    CLI::Option* countGiven_ = nullptr;
    int count_ = 0;
    std::vector<std::string> inputs_, outputs_;
    double order_ = 0.0;
};

class AnalysisCommands {
public:
    // Adds the subcommands and their options to `app`: modes and response,
    // and those of OrderCommands.
    explicit AnalysisCommands(CLI::App& app);
    // The exit code of the subcommand that was parsed, or nothing when it was
    // none of them. Throws sim::SimError on a failure.
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

    OrderCommands orders_; // campbell and order-response, beside modes and response
    CLI::App* modes_ = nullptr;
    CLI::App* response_ = nullptr;
    Common modesArgs_, responseArgs_;
    // modes: --count, --below, --solver
    int count_ = 0;
    double below_ = 0.0;
    std::string solver_ = "auto";
    CLI::Option* countGiven_ = nullptr;
    CLI::Option* belowGiven_ = nullptr;
    std::string energy_;
    CLI::Option* energyGiven_ = nullptr;
    std::string input_, output_;
    double from_ = 0.1, to_ = 100.0;
    int points_ = 300;
};

} // namespace dvx::tool

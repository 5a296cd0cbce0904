// The analysis commands from a model file to their results: the model is
// loaded (with --set changes), its component placed, run to the time T and
// linearised there; then its modes, or its frequency response.
#pragma once

#include "hostsim/sim/analysis/analysis_result.h"
#include "hostsim/sim/analysis/response.h"
#include "hostsim/sim/model/model.h"

#include <filesystem>
#include <optional>
#include <ostream>

namespace dvx::sim {

struct AnalysisOptions {
    std::filesystem::path model;
    std::filesystem::path library;
    std::optional<double> at; // default: the model's start
    std::vector<ModelChange> changes;
    ModeRequest modes; // which modes, and by which solver
    bool energy = false; // modes: their energies and sensitivities too
};

// The speed sweep of campbell and order-response: NODE's speeds [rpm], the
// hybrid elements' modes and every speed nothing relates to NODE's taken
// at the time `at` of AnalysisOptions.
struct SweepOptions {
    std::string node;
    SpeedGrid grid;
};
struct CampbellOptions {
    SweepOptions sweep;
    std::vector<double> orders{1.0, 2.0};
    std::optional<OperatingRange> operating;
};
struct OrderResponseOptions {
    SweepOptions sweep;
    std::vector<OrderInput> inputs;
    std::vector<std::string> outputs;
    double order = 1.0;
};

// Warnings of the component go to `log`. Throw SimError on any failure.
ModesResult RunModes(const AnalysisOptions& options, std::ostream& log);
ResponseResult RunResponse(const AnalysisOptions& options, const std::string& input, const std::string& output,
                           const FrequencyGrid& grid, std::ostream& log);
CampbellResult RunCampbell(const AnalysisOptions& options, const CampbellOptions& campbell, std::ostream& log);
OrderResponseResult RunOrderResponse(const AnalysisOptions& options, const OrderResponseOptions& order,
                                     std::ostream& log);

} // namespace dvx::sim

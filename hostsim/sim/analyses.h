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
};

// Warnings of the component go to `log`. Throw SimError on any failure.
ModesResult RunModes(const AnalysisOptions& options, std::ostream& log);
ResponseResult RunResponse(const AnalysisOptions& options, const std::string& input, const std::string& output,
                           const FrequencyGrid& grid, std::ostream& log);

} // namespace dvx::sim

#include "hostsim/sim/analyses.h"

#include "hostsim/sim/placed_model.h"

namespace dvx::sim {

namespace {

// The model placed, and the time of the analysis checked against it.
std::unique_ptr<PlacedModel> Place(const AnalysisOptions& o, std::ostream& log, double* at) {
    Model model = LoadModel(o.model, o.changes);
    *at = o.at.value_or(model.settings.start);
    CheckAnalysisTime(model.settings, *at, "--at");
    return std::make_unique<PlacedModel>(std::move(model), o.library, log);
}

} // namespace

ModesResult RunModes(const AnalysisOptions& o, std::ostream& log) {
    CheckModeRequest(o.modes);
    double at = 0.0;
    const std::unique_ptr<PlacedModel> placed = Place(o, log, &at);
    PlacedModel& p = *placed;
    const LinearModel lin = LineariseAt(p.model, p.network(), p.session, at);
    ModesResult result;
    result.model = o.model;
    result.library = o.library;
    result.backend = p.session.Library().Backend();
    try {
        result.set = ComputeModes(lin, p.model, o.modes);
    } catch (const SimError& e) {
        throw SimError(o.model.string() + ": " + e.what());
    }
    return result;
}

ResponseResult RunResponse(const AnalysisOptions& o, const std::string& input, const std::string& output,
                           const FrequencyGrid& grid, std::ostream& log) {
    CheckGrid(grid);
    double at = 0.0;
    const std::unique_ptr<PlacedModel> placed = Place(o, log, &at);
    PlacedModel& p = *placed;
    // Names are checked before the run to T, which may take a while.
    const ResponseInput in = FindSource(p.model, p.network(), input);
    const ResponseOutput out = FindOutput(p.model, p.network(), p.session, at, output);
    const LinearModel lin = LineariseAt(p.model, p.network(), p.session, at);
    ResponseResult result;
    result.model = o.model;
    result.library = o.library;
    result.backend = p.session.Library().Backend();
    result.t = lin.t;
    result.unitModes = lin.modes;
    try {
        result.response = ComputeResponse(lin, in, out, grid);
    } catch (const SimError& e) {
        throw SimError(o.model.string() + ": " + e.what());
    }
    return result;
}

} // namespace dvx::sim

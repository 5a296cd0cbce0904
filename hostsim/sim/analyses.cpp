#include "hostsim/sim/analyses.h"

#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/placed_model.h"

#include <cmath>

namespace dvx::sim {

namespace {

// The model placed, and the time of the analysis checked against it.
std::unique_ptr<PlacedModel> Place(const AnalysisOptions& o, std::ostream& log, double* at) {
    Model model = LoadModel(o.model, o.changes);
    *at = o.at.value_or(model.settings.start);
    CheckAnalysisTime(model.settings, *at, "--at");
    return std::make_unique<PlacedModel>(std::move(model), o.library, log);
}

// A result that says which model and library it is of, and how that ran.
template <typename Result>
Result Of(const AnalysisOptions& o, const PlacedModel& p) {
    Result result;
    result.model = o.model;
    result.library = o.library;
    result.backend = p.session.Library().Backend();
    return result;
}

// Runs `compute`; a failure of the analysis itself names the model file.
template <typename Compute>
void NamingTheModel(const AnalysisOptions& o, Compute compute) {
    try {
        compute();
    } catch (const SimError& e) {
        throw SimError(o.model.string() + ": " + e.what());
    }
}

} // namespace

ModesResult RunModes(const AnalysisOptions& o, std::ostream& log) {
    CheckModeRequest(o.modes);
    double at = 0.0;
    const std::unique_ptr<PlacedModel> placed = Place(o, log, &at);
    PlacedModel& p = *placed;
    const LinearModel lin = LineariseAt(p.model, p.network(), p.session, at);
    ModesResult result = Of<ModesResult>(o, p);
    NamingTheModel(o, [&] {
        result.set = ComputeModes(lin, p.model, o.modes);
        if (o.energy) result.energy = ComputeModalEnergy(lin, p.network(), p.model, result.set);
    });
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
    ResponseResult result = Of<ResponseResult>(o, p);
    result.t = lin.t;
    result.unitModes = lin.modes;
    NamingTheModel(o, [&] {
        result.response = ComputeResponse(lin, in, out, grid);
    });
    return result;
}

CampbellResult RunCampbell(const AnalysisOptions& o, const CampbellOptions& c, std::ostream& log) {
    CheckModeRequest(o.modes);
    CheckSpeedGrid(c.sweep.grid);
    if (c.orders.empty()) throw SimError("--orders: no order given");
    double at = 0.0;
    const std::unique_ptr<PlacedModel> placed = Place(o, log, &at);
    PlacedModel& p = *placed;
    FindNode(p.model, c.sweep.node, "--node"); // before the run to T
    CampbellResult result = Of<CampbellResult>(o, p);
    NamingTheModel(o, [&] {
        OperatingPoints points(p.model, p.network(), LineariseAt(p.model, p.network(), p.session, at), c.sweep.node,
                               "--node");
        result.diagram = ComputeCampbell(points, p.model, c.sweep.grid, c.orders, c.operating, o.modes);
        result.diagram.node = c.sweep.node;
    });
    return result;
}

OrderResponseResult RunOrderResponse(const AnalysisOptions& o, const OrderResponseOptions& r, std::ostream& log) {
    CheckSpeedGrid(r.sweep.grid);
    if (!(r.order > 0.0) || !std::isfinite(r.order))
        throw SimError("--order " + ShortestText(r.order) + ": the order must be a positive number");
    if (r.inputs.empty()) throw SimError("--input: give at least one source");
    double at = 0.0;
    const std::unique_ptr<PlacedModel> placed = Place(o, log, &at);
    PlacedModel& p = *placed;
    // Without --output: the torque of every named spring, the shafts.
    std::vector<std::string> columns = r.outputs;
    if (columns.empty())
        for (const ElementRecord& e : p.model.elements)
            if (!e.name.empty() && (e.type == "spring" || e.type == "elasto_backlash")) columns.push_back(e.name + ".torque");
    if (columns.empty())
        throw SimError("--output: the model has no named spring whose torque is the default output; give --output COLUMN");
    FindNode(p.model, r.sweep.node, "--node");
    // Names are checked before the run to T.
    std::vector<ResponseInput> sources;
    for (const OrderInput& in : r.inputs) sources.push_back(FindSource(p.model, p.network(), in.source));
    std::vector<ResponseOutput> outputs;
    for (const std::string& column : columns) outputs.push_back(FindOutput(p.model, p.network(), p.session, at, column));
    OrderResponseResult result = Of<OrderResponseResult>(o, p);
    NamingTheModel(o, [&] {
        OperatingPoints points(p.model, p.network(), LineariseAt(p.model, p.network(), p.session, at), r.sweep.node,
                               "--node");
        result.response = ComputeOrderResponse(points, r.inputs, sources, outputs, r.order, r.sweep.grid);
        result.response.node = r.sweep.node;
    });
    return result;
}

} // namespace dvx::sim

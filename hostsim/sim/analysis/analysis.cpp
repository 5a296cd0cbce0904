#include "hostsim/sim/analysis/analysis.h"

#include "hostsim/sim/network/network.h"
#include "hostsim/sim/network/session.h"

namespace dvx::sim {

namespace {

// The model with its component placed and its network built, released when
// it goes.
struct Placed {
    Placed(const AnalysisOptions& o, std::ostream& log)
        : model(LoadModel(o.model, o.changes)), session(o.library, log, false) {
        at = o.at.value_or(model.settings.start);
        CheckAnalysisTime(model.settings, at, "--at");
        session.SetQuantities(&model.quantities);
        for (const Instance& inst : model.instances) session.Place(inst.name, inst.parameters);
        network = std::make_unique<Network>(model, session);
    }
    ~Placed() { session.ReleaseAll(); }
    Placed(const Placed&) = delete;
    Placed& operator=(const Placed&) = delete;

    Model model;
    Session session;
    std::unique_ptr<Network> network;
    double at = 0.0;
};

} // namespace

ModesResult RunModes(const AnalysisOptions& o, std::ostream& log) {
    Placed p(o, log);
    const LinearModel lin = LineariseAt(p.model, *p.network, p.session, p.at);
    ModesResult result;
    result.model = o.model;
    result.library = o.library;
    result.backend = p.session.Library().Backend();
    try {
        result.set = ComputeModes(lin, p.model);
    } catch (const SimError& e) {
        throw SimError(o.model.string() + ": " + e.what());
    }
    return result;
}

ResponseResult RunResponse(const AnalysisOptions& o, const std::string& input, const std::string& output,
                           const FrequencyGrid& grid, std::ostream& log) {
    CheckGrid(grid);
    Placed p(o, log);
    // Names are checked before the run to T, which may take a while.
    const ResponseInput in = FindSource(p.model, *p.network, input);
    const ResponseOutput out = FindOutput(p.model, *p.network, p.session, p.at, output);
    const LinearModel lin = LineariseAt(p.model, *p.network, p.session, p.at);
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

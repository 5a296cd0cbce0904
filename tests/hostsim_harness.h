// Runs a model text through the simulator's parts directly, keeping every
// unknown at every sample and the unit outputs there, for tests that look
// inside the network (node speeds, element torques and modes).
#pragma once

#include "hostsim/kit/library.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/placed_model.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace dvx::sim::testing {

struct Trace {
    std::vector<double> t;
    std::vector<std::vector<double>> y;       // per sample, every unknown
    std::vector<std::vector<double>> outputs; // per sample, the named elements' outputs
    std::vector<std::string> labels;          // per unknown
    std::vector<std::string> outputNames;     // "element.output"
    SolverStats stats;
    std::vector<EnergyAccount> energies;

    size_t Unknown(const std::string& label) const {
        for (size_t i = 0; i < labels.size(); ++i)
            if (labels[i] == label) return i;
        throw SimError("no unknown " + label);
    }
    size_t Output(const std::string& name) const {
        for (size_t i = 0; i < outputNames.size(); ++i)
            if (outputNames[i] == name) return i;
        throw SimError("no output " + name);
    }
};

class Tracer : public Observer {
public:
    Tracer(Trace& trace, const Model& model) : trace_(trace), model_(model) {}
    void OnStep(double, const std::vector<double>&) override {}
    void OnSample(const Sample& s) override {
        trace_.t.push_back(s.t);
        trace_.y.push_back(s.y);
        std::vector<double> out;
        for (const ElementRecord& e : model_.elements) {
            if (e.name.empty()) continue;
            std::vector<std::string> names;
            e.unit->OutputNames(names);
            std::vector<double> values(names.size());
            e.unit->Outputs({s.t, s.y.data(), nullptr}, values.data());
            out.insert(out.end(), values.begin(), values.end());
        }
        trace_.outputs.push_back(out);
    }

private:
    Trace& trace_;
    const Model& model_;
};

inline Trace RunTrace(const std::string& text, Method method, double rtol = 1e-6, double step = 1e-3) {
    std::ostringstream log;
    PlacedModel placed(ParseModel(text, "trace.json"), host::LibraryBesideProgram(), log);
    const Model& model = placed.model;
    Session& session = placed.session;
    Network& network = placed.network();
    Trace trace;
    for (int i = 0; i < network.Size(); ++i) trace.labels.push_back(network.Label(i));
    for (const ElementRecord& e : model.elements) {
        if (e.name.empty()) continue;
        std::vector<std::string> names;
        e.unit->OutputNames(names);
        for (const std::string& n : names) trace.outputNames.push_back(e.name + "." + n);
    }
    Settings settings = model.settings;
    settings.method = method;
    settings.rtol = rtol;
    settings.step = step;
    std::unique_ptr<Integrator> integrator = MakeIntegrator(method, network, session);
    Tracer tracer(trace, model);
    trace.stats = integrator->Run(settings, tracer);
    trace.energies = network.Energies();
    return trace;
}

} // namespace dvx::sim::testing

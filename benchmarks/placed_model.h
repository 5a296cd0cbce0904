// A model placed and ready to run, as RunSimulation prepares it: the parsed
// model, the loaded component with every instance set up and laid out, the
// network, and an integrator for it. Benchmarks time Run() alone.
#pragma once

#include "hostsim/kit/library.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/network/network.h"
#include "hostsim/sim/network/session.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace dvx::bench {

struct PlacedModel {
    PlacedModel(sim::Model parsed, sim::Method method)
        : model(std::move(parsed)), session(host::LibraryBesideProgram(), log, false) {
        session.SetQuantities(&model.quantities);
        for (const sim::Instance& instance : model.instances) session.Place(instance.name, instance.parameters);
        network = std::make_unique<sim::Network>(model, session);
        network->SetRecorded({});
        integrator = sim::MakeIntegrator(method, *network, session);
    }

    sim::Model model;
    std::ostringstream log;
    sim::Session session;
    std::unique_ptr<sim::Network> network;
    std::unique_ptr<sim::Integrator> integrator;
};

// Keeps one unknown at every sample.
class UnknownTrace : public sim::Observer {
public:
    explicit UnknownTrace(size_t unknown) : unknown_(unknown) {}
    void OnStep(double, const std::vector<double>&) override {}
    void OnSample(const sim::Sample& s) override {
        t.push_back(s.t);
        value.push_back(s.y[unknown_]);
    }
    void Clear() {
        t.clear();
        value.clear();
    }
    std::vector<double> t, value;

private:
    size_t unknown_;
};

inline size_t UnknownOf(const sim::Network& network, const std::string& label) {
    for (int i = 0; i < network.Size(); ++i)
        if (network.Label(i) == label) return static_cast<size_t>(i);
    throw sim::SimError("no unknown " + label);
}

} // namespace dvx::bench

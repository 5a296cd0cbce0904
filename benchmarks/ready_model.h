// A model placed as RunSimulation places it, with an integrator for it and
// nothing recorded: benchmarks time Run() alone.
#pragma once

#include "hostsim/kit/library.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/placed_model.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace dvx::bench {

struct ReadyModel {
    ReadyModel(sim::Model parsed, sim::Method method)
        : placed(std::move(parsed), host::LibraryBesideProgram(), log), model(placed.model),
          network(&placed.network()) {
        network->SetRecorded({});
        integrator = sim::MakeIntegrator(method, *network, placed.session);
    }

    std::ostringstream log; // first: the placed model writes to it
    sim::PlacedModel placed;
    const sim::Model& model;
    sim::Network* network;
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

// Linearises a model text (or file) in-process and gives its modes and
// frequency responses, for the tests of the analysis commands.
#pragma once

#include "hostsim/kit/library.h"
#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/analysis/response.h"
#include "hostsim/sim/placed_model.h"

#include <memory>
#include <numbers>
#include <sstream>
#include <string>

namespace dvx::sim::testing {

// A model with its component placed and its network built.
struct Placed {
    explicit Placed(const std::string& text)
        : placed(ParseModel(text, "modes.json"), host::LibraryBesideProgram(), log), model(placed.model),
          session(placed.session), network(&placed.network()) {}
    LinearModel At(double t) { return LineariseAt(model, *network, session, t); }
    ModeSet Modes(double t) { return ComputeModes(At(t), model); }
    FrequencyResponse Response(double t, const std::string& input, const std::string& output, FrequencyGrid grid) {
        const ResponseInput in = FindSource(model, *network, input);
        const ResponseOutput out = FindOutput(model, *network, session, t, output);
        return ComputeResponse(At(t), in, out, grid);
    }

    std::ostringstream log; // first: the placed model writes to it
    PlacedModel placed;
    const Model& model;
    Session& session;
    Network* network;
};

// The modes that oscillate, in the order of their natural frequency.
inline std::vector<Mode> Oscillating(const ModeSet& set) {
    std::vector<Mode> out;
    for (const Mode& m : set.modes)
        if (!m.rigid) out.push_back(m);
    return out;
}

inline size_t RigidCount(const ModeSet& set) {
    size_t n = 0;
    for (const Mode& m : set.modes) n += m.rigid ? 1 : 0;
    return n;
}

inline double Hz(double omega) { return omega / (2.0 * std::numbers::pi); }

} // namespace dvx::sim::testing

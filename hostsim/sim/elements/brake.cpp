// Brake: dry friction between its node and the ground (kBrakeDoc below),
// stick and slip as described in friction.h: a braked shaft that comes to
// rest stays exactly at rest while the torque that holds it lies within
// peak*torque.
#include "hostsim/sim/elements/friction.h"

namespace dvx::sim {

namespace {
const char* const kBrakeExamples[] = {
    R"({"type": "brake", "node": "c", "torque": 2})"};
} // namespace

const ElementDoc kBrakeDoc{
    "`node`, `torque` (waveform) [Nm], `peak` ≥ 1 (default 1)",
    "dry friction between the node and the ground, below; at or below 0 the brake is open",
    kBrakeExamples};

std::unique_ptr<ElementUnit> ReadBrake(const ElementReader& r) {
    r.Keys({"node", "torque", "peak"});
    const int node = r.Node("node");
    Waveform torque = r.Wave("torque");
    return std::make_unique<Friction>(node, -1, std::move(torque), ReadPeak(r), 0.0);
}

} // namespace dvx::sim

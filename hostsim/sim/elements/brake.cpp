// Brake: dry friction between its node and the ground. "torque" is the
// kinetic friction torque available [Nm] as a waveform (the braking
// command; at or below 0 the brake is open); "peak" is the static torque over the kinetic one
// (default 1). Stick and slip as described in friction.h: a braked shaft
// that comes to rest stays exactly at rest while the torque that holds it
// lies within peak*torque.
#include "hostsim/sim/elements/friction.h"

namespace dvx::sim {

std::unique_ptr<ElementUnit> ReadBrake(const ElementReader& r) {
    r.Keys({"node", "torque", "peak"});
    const int node = r.Node("node");
    Waveform torque = r.Wave("torque");
    return std::make_unique<Friction>(node, -1, std::move(torque), ReadPeak(r), 0.0);
}

} // namespace dvx::sim

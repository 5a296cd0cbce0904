// Bearing friction: a constant Coulomb torque "torque" [Nm] between its node
// and the ground, with "peak" (static over kinetic, default 1) and an
// optional "viscous" part [Nm s/rad] (default 0): the torque drawn from the
// node is the friction torque of friction.h plus viscous*w. A shaft at rest
// stays at rest until the torque on it exceeds peak*torque.
#include "hostsim/sim/elements/friction.h"

namespace dvx::sim {

std::unique_ptr<ElementUnit> ReadBearingFriction(const ElementReader& r) {
    r.Keys({"node", "torque", "peak", "viscous"});
    const int node = r.Node("node");
    const double torque = r.NonNegative("torque");
    const double viscous = r.At().Has("viscous") ? r.NonNegative("viscous") : 0.0;
    return std::make_unique<Friction>(node, -1, Constant{torque}, ReadPeak(r), viscous);
}

} // namespace dvx::sim

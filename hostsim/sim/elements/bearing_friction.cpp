// Bearing friction: a constant Coulomb torque between its node and the
// ground (kBearingFrictionDoc below), the friction torque of friction.h plus
// the viscous part. A shaft at rest stays at rest until the torque on it
// exceeds peak*torque.
#include "hostsim/sim/elements/friction.h"

namespace dvx::sim {

namespace {
const char* const kBearingFrictionExamples[] = {
    R"({"type": "bearing_friction", "node": "b", "torque": 0.5, "viscous": 0.1})"};
} // namespace

const ElementDoc kBearingFrictionDoc{
    "`node`, `torque` ≥ 0 [Nm], `peak` ≥ 1 (default 1), `viscous` ≥ 0 [Nm s/rad] (default 0)",
    "dry friction of a constant torque between the node and the ground, below, plus viscous·ω",
    kBearingFrictionExamples};

std::unique_ptr<ElementUnit> ReadBearingFriction(const ElementReader& r) {
    r.Keys({"node", "torque", "peak", "viscous"});
    const int node = r.Node("node");
    const double torque = r.NonNegative("torque");
    const double viscous = r.At().Has("viscous") ? r.NonNegative("viscous") : 0.0;
    return std::make_unique<Friction>(node, -1, Constant{torque}, ReadPeak(r), viscous);
}

} // namespace dvx::sim

// Clutch: dry friction between two nodes a and b. "torque" is the kinetic
// friction torque it can transmit [Nm] as a waveform (the engagement: at or
// below 0 it is open), "peak" the static torque over the kinetic one
// (default 1). Stick
// and slip as described in friction.h: a slipping clutch locks when the
// relative speed reaches zero, and the two sides then turn together while
// the torque between them lies within peak*torque.
#include "hostsim/sim/elements/friction.h"

namespace dvx::sim {

std::unique_ptr<ElementUnit> ReadClutch(const ElementReader& r) {
    r.Keys({"a", "b", "torque", "peak"});
    int a = -1, b = -1;
    r.TwoEnds(a, b);
    Waveform torque = r.Wave("torque");
    return std::make_unique<Friction>(a, b, std::move(torque), ReadPeak(r), 0.0);
}

} // namespace dvx::sim

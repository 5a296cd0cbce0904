// Clutch: dry friction between a and b (kClutchDoc below), stick and slip
// as described in friction.h: a slipping clutch locks when the relative speed
// reaches zero, and the two sides then turn together while the torque between
// them lies within peak*torque.
#include "hostsim/sim/elements/friction.h"

namespace dvx::sim {

namespace {
const char* const kClutchExamples[] = {
    R"({"type": "clutch", "a": "a", "b": "b", "torque": {"type": "ramp", "to": 5, "duration": 1}, "peak": 1.3})",
    R"({"type": "clutch", "a": "b", "b": "c", "torque": {"type": "step", "before": -1, "after": 1, "time": 5}})"};
} // namespace

const ElementDoc kClutchDoc{
    "`a`, `b`, `torque` (waveform) [Nm], `peak` ≥ 1 (default 1)",
    "dry friction between a and b, below; `torque` is the engagement (at or below 0: open)",
    kClutchExamples};

std::unique_ptr<ElementUnit> ReadClutch(const ElementReader& r) {
    r.Keys({"a", "b", "torque", "peak"});
    int a = -1, b = -1;
    r.TwoEnds(a, b);
    Waveform torque = r.Wave("torque");
    return std::make_unique<Friction>(a, b, std::move(torque), ReadPeak(r), 0.0);
}

} // namespace dvx::sim

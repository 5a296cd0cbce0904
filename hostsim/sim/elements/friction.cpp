#include "hostsim/sim/elements/friction.h"

#include <cmath>

namespace dvx::sim {

namespace {

// Relative to the command's largest magnitude: how far above zero it must
// rise to close an open element.
constexpr double kHair = 1e-12;

} // namespace

Friction::Friction(int a, int b, Waveform kinetic, double peak, double viscous)
    : a_(a), b_(b), kinetic_(std::move(kinetic)), peak_(peak), viscous_(viscous),
      hair_(kHair * LargestMagnitude(kinetic_)) {}

void Friction::Build(Builder& b) {
    tau_ = b.AddUnknown(Label() + ".friction", UnknownKind::Algebraic, 0.0);
    ta_ = b.Entry(tau_, a_);
    tb_ = b.Entry(tau_, b_);
    tt_ = b.Entry(tau_, tau_);
    at_ = b.Entry(a_, tau_);
    bt_ = b.Entry(b_, tau_);
    if (viscous_ > 0.0) {
        aa_ = b.Entry(a_, a_);
        ab_ = b.Entry(a_, b_);
        ba_ = b.Entry(b_, a_);
        bb_ = b.Entry(b_, b_);
    }
    energy_ = b.AddEnergy(Label(), EnergyKind::Dissipated);
    b.AddCrossings(3);
}

void Friction::Residual(const Point& p, Rows& f) {
    const double torque = Torque(p);
    f.Add(a_, torque);
    f.Add(b_, -torque);
    switch (mode_) {
    case Mode::Stuck: f.Add(tau_, Slip(p)); break;
    case Mode::Forward: f.Add(tau_, p.Y(tau_) - Kinetic(p.t)); break;
    case Mode::Backward: f.Add(tau_, p.Y(tau_) + Kinetic(p.t)); break;
    case Mode::Open: f.Add(tau_, p.Y(tau_)); break;
    }
}

void Friction::Jacobian(const Point&, const JacobianSink& j) {
    j.Add(at_, 1.0);
    j.Add(bt_, -1.0);
    if (mode_ == Mode::Stuck) {
        j.Add(ta_, 1.0);
        j.Add(tb_, -1.0);
    } else {
        j.Add(tt_, 1.0);
    }
    if (viscous_ > 0.0) {
        j.Add(aa_, viscous_);
        j.Add(ab_, -viscous_);
        j.Add(ba_, -viscous_);
        j.Add(bb_, viscous_);
    }
}

void Friction::Breakpoints(double from, double to, std::vector<double>& times) const {
    AddBreakpoints(kinetic_, from, to, times);
}

void Friction::Powers(const Point& p, double* power) { power[energy_] = Torque(p) * Slip(p); }

// Crossing 0: the relative speed in the direction of the slip (it falls to
// zero when the slip ends). Crossing 1: the room left below the static
// limit while stuck. Crossing 2: the command while pressed (it falls to
// zero when the element opens), or its distance below the hair while open.
// An inactive one reads 1. Only a fall through zero counts.
void Friction::Crossings(const Point& p, double* g) const {
    const double limit = peak_ * Kinetic(p.t);
    g[0] = mode_ == Mode::Forward ? Slip(p) : mode_ == Mode::Backward ? -Slip(p) : 1.0;
    g[1] = mode_ == Mode::Stuck ? limit - std::abs(p.Y(tau_)) : 1.0;
    g[2] = mode_ == Mode::Open ? hair_ - Command(p.t) : Command(p.t);
}

Friction::Mode Friction::BySlip(const Point& p) const {
    const double slip = Slip(p);
    return slip > 0.0 ? Mode::Forward : slip < 0.0 ? Mode::Backward : Mode::Stuck;
}

bool Friction::Settle(const Point& p, const int* fired) {
    const Mode before = mode_;
    const double command = Command(p.t);
    if (mode_ == Mode::Open) {
        if (command > hair_ || (fired != nullptr && fired[2] < 0 && command > 0.0)) mode_ = BySlip(p);
    } else if (command <= 0.0) {
        mode_ = Mode::Open;
    } else if (mode_ == Mode::Stuck) {
        const double tau = p.Y(tau_);
        const bool exceeded = std::abs(tau) > peak_ * Kinetic(p.t) || (fired != nullptr && fired[1] < 0);
        if (exceeded && tau != 0.0) mode_ = tau > 0.0 ? Mode::Forward : Mode::Backward;
    } else if (fired != nullptr && fired[0] < 0) {
        // The relative speed has fallen to zero: try to hold it there; the
        // next round, at the consistent stuck point, checks the torque that
        // takes. (Rising from zero, just after a breakaway, is no event.)
        mode_ = Mode::Stuck;
    }
    return mode_ != before;
}

void Friction::StartMode(const Point& p) { mode_ = Command(p.t) <= 0.0 ? Mode::Open : BySlip(p); }

bool Friction::Loosen() {
    if (mode_ != Mode::Stuck) return false;
    mode_ = Mode::Open;
    return true;
}

std::string Friction::ModeText() const {
    switch (mode_) {
    case Mode::Stuck: return "stuck";
    case Mode::Forward: return "slipping forward";
    case Mode::Backward: return "slipping backward";
    case Mode::Open: return "open";
    }
    return "";
}

void Friction::OutputNames(std::vector<std::string>& names) const {
    names.insert(names.end(), {"torque", "slip", "mode"});
}

void Friction::Outputs(const Point& p, double* out) const {
    out[0] = Torque(p);
    out[1] = Slip(p);
    out[2] = static_cast<double>(static_cast<int>(mode_));
}

double ReadPeak(const ElementReader& r) { return r.AtLeast("peak", 1.0, 1.0); }

} // namespace dvx::sim

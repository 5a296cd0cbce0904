// Dry friction with true stick and slip between a and b (b may be the
// ground), the common core of brake, clutch and bearing_friction.
//
// The friction torque tau, drawn from a and supplied to b, is an unknown of
// the network with a row of its own, which depends on the mode:
//   stuck:     w_a - w_b = 0              (tau is whatever that takes)
//   forward:   tau - T(t) = 0             (w_a - w_b > 0)
//   backward:  tau + T(t) = 0             (w_a - w_b < 0)
//   open:      tau = 0                    (T(t) <= 0: nothing presses)
// where T(t) is the kinetic torque available. A command at or below zero
// opens the element, as a clutch is free when its normal force is (a
// measured pressure that dips below zero is no pull). A viscous part
// v*(w_a - w_b) acts beside it in every mode.
//
// Mode changes are events, never branches inside the residual:
//   stuck -> forward/backward when |tau| exceeds peak*T(t), in the direction
//     of tau (crossing peak*T - |tau|);
//   forward/backward -> stuck when the relative speed reaches zero (crossing
//     +-(w_a - w_b)); stuck then holds unless the torque it needs exceeds
//     peak*T, in which case the slip goes on the other way;
//   any -> open when T(t) falls to zero (crossing T), and open -> stuck,
//     forward or backward, by the relative speed, when T rises above a
//     hair's breadth of its scale (crossing that hair minus T: a crossing
//     function must be away from zero where it starts).
// Standing still is exact (the stuck row holds the relative speed at zero),
// so there is neither chattering nor creep.
#pragma once

#include "hostsim/sim/elements/reader.h"

#include <algorithm>

namespace dvx::sim {

class Friction : public ElementUnit {
public:
    // The values of the output "mode".
    enum class Mode { Backward = -1, Stuck = 0, Forward = 1, Open = 2 };

    Friction(int a, int b, Waveform kinetic, double peak, double viscous);

    bool ExactOnInterpolant() const override { return std::holds_alternative<Constant>(kinetic_); }
    void Build(Builder& b) override;
    void Residual(const Point& p, Rows& f) override;
    void Jacobian(const Point& p, const JacobianSink& j) override;
    void Breakpoints(double from, double to, std::vector<double>& times) const override;
    void Powers(const Point& p, double* power) override;
    void Crossings(const Point& p, double* g) const override;
    bool Settle(const Point& p, const int* fired) override;
    void StartMode(const Point& p) override;
    bool Loosen() override;
    std::string ModeText() const override;
    void OutputNames(std::vector<std::string>& names) const override;
    void Outputs(const Point& p, double* out) const override;

    Mode CurrentMode() const { return mode_; }

private:
    double Slip(const Point& p) const { return p.Y(a_) - p.Y(b_); }
    double Command(double t) const { return Evaluate(kinetic_, t); }
    double Kinetic(double t) const { return std::max(Command(t), 0.0); }
    // The mode a slip calls for while the element is pressed.
    Mode BySlip(const Point& p) const;
    double Torque(const Point& p) const { return p.Y(tau_) + viscous_ * Slip(p); }

    int a_, b_;
    Waveform kinetic_;
    double peak_, viscous_;
    double hair_; // below this the command does not close an open element
    Mode mode_ = Mode::Stuck;
    int tau_ = -1, energy_ = 0;
    int ta_ = -1, tb_ = -1, tt_ = -1, at_ = -1, bt_ = -1;
    int aa_ = -1, ab_ = -1, ba_ = -1, bb_ = -1;
};

// The keys the three friction elements share: "peak" (static over kinetic,
// at least 1, default 1) and, where `viscous` allows it, "viscous".
double ReadPeak(const ElementReader& r);

} // namespace dvx::sim

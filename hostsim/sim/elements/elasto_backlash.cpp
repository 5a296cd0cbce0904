// Spring and damper with play between a and b: c [Nm/rad], d [Nm s/rad] and
// the total play [rad]. The relative angle phi = angle_a - angle_b is a
// state, d(phi)/dt = w_a - w_b, phi(start) = angle0 (default 0, the middle
// of the play). With h = play/2 the torque drawn from a and supplied to b is
//   free (|phi| <= h, or the damper would pull):  tau = 0
//   pushing forward (phi > h):                     tau = c*(phi - h) + d*(w_a - w_b) > 0
//   pushing backward (phi < -h):                   tau = c*(phi + h) + d*(w_a - w_b) < 0
// so inside the play nothing is transmitted, and at the contact edge the
// damper never pulls. Each is a mode: contact begins where phi leaves the
// play with a torque that pushes, and ends where that torque reaches zero.
// While pushing the spring stores c*(phi -+ h)^2/2 and the damper
// dissipates d*(w_a - w_b)^2. Without play there is no free interval to be
// in: the element is a spring and damper in parallel, always in contact,
// tau = c*phi + d*(w_a - w_b) either way, with no mode to change.
#include "hostsim/sim/elements/reader.h"

#include <algorithm>

namespace dvx::sim {

namespace {

class ElastoBacklash : public ElementUnit {
public:
    enum class Mode { Backward = -1, Free = 0, Forward = 1, Contact = 2 };

    ElastoBacklash(int a, int b, double c, double d, double play, double angle0)
        : a_(a), b_(b), c_(c), d_(d), h_(play / 2.0), angle0_(angle0),
          mode_(play == 0.0 ? Mode::Contact : Mode::Free) {}

    // Linear with constant coefficients within each mode, and IDA restarts
    // at every change of mode.
    bool ExactOnInterpolant() const override { return true; }
    void Build(Builder& b) override {
        phi_ = b.AddUnknown(Label() + ".angle", UnknownKind::Differential, angle0_);
        pp_ = b.Entry(phi_, phi_);
        pa_ = b.Entry(phi_, a_);
        pb_ = b.Entry(phi_, b_);
        ap_ = b.Entry(a_, phi_);
        aa_ = b.Entry(a_, a_);
        ab_ = b.Entry(a_, b_);
        bp_ = b.Entry(b_, phi_);
        ba_ = b.Entry(b_, a_);
        bb_ = b.Entry(b_, b_);
        energy_ = b.AddEnergy(Label(), EnergyKind::Dissipated);
        b.AddCrossings(2);
    }
    void Residual(const Point& p, Rows& f) override {
        const double tau = Torque(p);
        f.Add(a_, tau);
        f.Add(b_, -tau);
        f.Add(phi_, p.Yp(phi_) - Slip(p));
    }
    void Jacobian(const Point&, const JacobianSink& j) override {
        j.Add(pp_, j.Cj());
        j.Add(pa_, -1.0);
        j.Add(pb_, 1.0);
        if (mode_ == Mode::Free) return;
        j.Add(ap_, c_);
        j.Add(aa_, d_);
        j.Add(ab_, -d_);
        j.Add(bp_, -c_);
        j.Add(ba_, -d_);
        j.Add(bb_, d_);
    }
    void Powers(const Point& p, double* power) override {
        power[energy_] = mode_ == Mode::Free ? 0.0 : d_ * Slip(p) * Slip(p);
    }
    double Stored(const Point& p) const override {
        if (mode_ == Mode::Free) return 0.0;
        const double x = p.Y(phi_) - Edge();
        return 0.5 * c_ * x * x;
    }
    // Free: max(h - phi, -pushForward) and max(phi + h, pushBackward) fall
    // below zero where a contact begins. Pushing: the torque, in the
    // direction of the contact, reaches zero where it ends.
    void Crossings(const Point& p, double* g) const override {
        const double phi = p.Y(phi_);
        switch (mode_) {
        case Mode::Free:
            g[0] = std::max(h_ - phi, -Push(p, h_));
            g[1] = std::max(phi + h_, Push(p, -h_));
            break;
        case Mode::Forward:
            g[0] = Push(p, h_);
            g[1] = 1.0;
            break;
        case Mode::Backward:
            g[0] = 1.0;
            g[1] = -Push(p, -h_);
            break;
        case Mode::Contact:
            g[0] = g[1] = 1.0;
            break;
        }
    }
    bool Settle(const Point& p, const int* fired) override {
        const Mode before = mode_;
        const double phi = p.Y(phi_);
        // Only a fall through zero counts (a function that starts at zero
        // after a change of mode may rise).
        const bool fired0 = fired != nullptr && fired[0] < 0, fired1 = fired != nullptr && fired[1] < 0;
        switch (mode_) {
        case Mode::Free:
            if ((phi > h_ && Push(p, h_) > 0.0) || fired0) mode_ = Mode::Forward;
            else if ((phi < -h_ && Push(p, -h_) < 0.0) || fired1) mode_ = Mode::Backward;
            break;
        case Mode::Forward:
            if (Push(p, h_) <= 0.0 || fired0) mode_ = Mode::Free;
            break;
        case Mode::Backward:
            if (Push(p, -h_) >= 0.0 || fired1) mode_ = Mode::Free;
            break;
        case Mode::Contact: break;
        }
        return mode_ != before;
    }
    void StartMode(const Point& p) override {
        if (mode_ == Mode::Contact) return;
        const double phi = p.Y(phi_);
        mode_ = phi > h_ && Push(p, h_) > 0.0 ? Mode::Forward
                : phi < -h_ && Push(p, -h_) < 0.0 ? Mode::Backward
                                                   : Mode::Free;
    }
    std::string ModeText() const override {
        switch (mode_) {
        case Mode::Free: return "free";
        case Mode::Forward: return "pushing forward";
        case Mode::Backward: return "pushing backward";
        case Mode::Contact: return "in contact";
        }
        return "";
    }
    void OutputNames(std::vector<std::string>& names) const override {
        names.insert(names.end(), {"torque", "angle", "mode"});
    }
    // Without play, mode tells which way the torque pushes (1, -1, or 0).
    void Outputs(const Point& p, double* out) const override {
        const double tau = Torque(p);
        out[0] = tau;
        out[1] = p.Y(phi_);
        out[2] = mode_ == Mode::Contact ? (tau > 0.0) - (tau < 0.0) : static_cast<double>(static_cast<int>(mode_));
    }

private:
    double Slip(const Point& p) const { return p.Y(a_) - p.Y(b_); }
    // Spring and damper torque against the contact edge `edge`.
    double Push(const Point& p, double edge) const { return c_ * (p.Y(phi_) - edge) + d_ * Slip(p); }
    // The contact edge of the mode: +h forward, -h backward, 0 without play.
    double Edge() const { return mode_ == Mode::Forward ? h_ : mode_ == Mode::Backward ? -h_ : 0.0; }
    double Torque(const Point& p) const { return mode_ == Mode::Free ? 0.0 : Push(p, Edge()); }

    int a_, b_;
    double c_, d_, h_, angle0_;
    Mode mode_;
    int phi_ = -1, energy_ = 0;
    int pp_ = -1, pa_ = -1, pb_ = -1, ap_ = -1, aa_ = -1, ab_ = -1, bp_ = -1, ba_ = -1, bb_ = -1;
};

} // namespace

namespace {
const char* const kElastoBacklashExamples[] = {
    R"({"type": "elasto_backlash", "a": "a", "b": "c", "c": 100, "d": 2, "play": 0.2})",
    R"({"type": "elasto_backlash", "a": "b", "b": "c", "c": 50, "d": 1, "play": 0, "angle0": 0.1})"};
} // namespace

const ElementDoc kElastoBacklashDoc{
    "`a`, `b`, `c` > 0 [Nm/rad], `d` ≥ 0 [Nm s/rad], `play` ≥ 0 [rad] (total), `angle0` "
    "[rad] (default 0)",
    "spring and damper with play, below",
    kElastoBacklashExamples};

std::unique_ptr<ElementUnit> ReadElastoBacklash(const ElementReader& r) {
    r.Keys({"a", "b", "c", "d", "play", "angle0"});
    int a = -1, b = -1;
    r.TwoEnds(a, b);
    const double c = r.Positive("c");
    const double d = r.NonNegative("d");
    const double play = r.NonNegative("play");
    return std::make_unique<ElastoBacklash>(a, b, c, d, play, r.Number("angle0", 0.0));
}

} // namespace dvx::sim

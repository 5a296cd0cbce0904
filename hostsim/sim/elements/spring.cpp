// Spring c [Nm/rad] between a and b. Its torque tau is a state, drawn from a
// and supplied to b: d(tau)/dt = c*(w_a - w_b), tau(start) = torque0. It
// stores tau^2/(2c).
#include "hostsim/sim/elements/reader.h"

namespace dvx::sim {

namespace {

class Spring : public ElementUnit {
public:
    Spring(int a, int b, double c, double torque0) : a_(a), b_(b), c_(c), torque0_(torque0) {}

    bool ExactOnInterpolant() const override { return true; }
    void Build(Builder& b) override {
        tau_ = b.AddUnknown(Label() + ".torque", UnknownKind::Differential, torque0_);
        at_ = b.Entry(a_, tau_);
        bt_ = b.Entry(b_, tau_);
        tt_ = b.Entry(tau_, tau_);
        ta_ = b.Entry(tau_, a_);
        tb_ = b.Entry(tau_, b_);
    }
    void Residual(const Point& p, Rows& f) override {
        const double tau = p.Y(tau_);
        f.Add(a_, tau);
        f.Add(b_, -tau);
        f.Add(tau_, p.Yp(tau_) - c_ * (p.Y(a_) - p.Y(b_)));
    }
    void Jacobian(const Point&, const JacobianSink& j) override {
        j.Add(at_, 1.0);
        j.Add(bt_, -1.0);
        j.Add(tt_, j.Cj());
        j.Add(ta_, -c_);
        j.Add(tb_, c_);
    }
    double Stored(const Point& p) const override { return p.Y(tau_) * p.Y(tau_) / (2.0 * c_); }
    void OutputNames(std::vector<std::string>& names) const override { names.push_back("torque"); }
    void Outputs(const Point& p, double* out) const override { out[0] = p.Y(tau_); }

private:
    int a_, b_;
    double c_, torque0_;
    int tau_ = -1, at_ = -1, bt_ = -1, tt_ = -1, ta_ = -1, tb_ = -1;
};

} // namespace

std::unique_ptr<ElementUnit> ReadSpring(const ElementReader& r) {
    r.Keys({"a", "b", "c", "torque0"});
    int a = -1, b = -1;
    r.TwoEnds(a, b);
    const double c = r.Positive("c");
    return std::make_unique<Spring>(a, b, c, r.Number("torque0", 0.0));
}

} // namespace dvx::sim

// Spring between a and b (its keys and equation: kSpringDoc below). Its
// torque is a state of its own, starting at torque0.
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

namespace {
const char* const kSpringExamples[] = {
    R"({"type": "spring", "a": "b", "b": "c", "c": 40, "torque0": 1})"};
} // namespace

const ElementDoc kSpringDoc{
    "`a`, `b`, `c` > 0 [Nm/rad], `torque0` [Nm] (default 0)",
    "its torque τ, drawn from a and supplied to b, follows dτ/dt = c·(ω_a − ω_b); stores "
    "τ²/(2c)",
    kSpringExamples};

std::unique_ptr<ElementUnit> ReadSpring(const ElementReader& r) {
    r.Keys({"a", "b", "c", "torque0"});
    int a = -1, b = -1;
    r.TwoEnds(a, b);
    const double c = r.Positive("c");
    return std::make_unique<Spring>(a, b, c, r.Number("torque0", 0.0));
}

} // namespace dvx::sim

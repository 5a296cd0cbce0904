// Damper between a and b (its keys and equation: kDamperDoc below): one
// entry per pair of its speeds, no unknown of its own.
#include "hostsim/sim/elements/reader.h"

namespace dvx::sim {

namespace {

class Damper : public ElementUnit {
public:
    Damper(int a, int b, double d) : a_(a), b_(b), d_(d) {}

    bool ExactOnInterpolant() const override { return true; }
    void Build(Builder& b) override {
        aa_ = b.Entry(a_, a_);
        ab_ = b.Entry(a_, b_);
        ba_ = b.Entry(b_, a_);
        bb_ = b.Entry(b_, b_);
        energy_ = b.AddEnergy(Label(), EnergyKind::Dissipated);
    }
    void Residual(const Point& p, Rows& f) override {
        const double tau = Torque(p);
        f.Add(a_, tau);
        f.Add(b_, -tau);
    }
    void Jacobian(const Point&, const JacobianSink& j) override {
        j.Add(aa_, d_);
        j.Add(ab_, -d_);
        j.Add(ba_, -d_);
        j.Add(bb_, d_);
    }
    void Powers(const Point& p, double* power) override {
        const double w = p.Y(a_) - p.Y(b_);
        power[energy_] = d_ * w * w;
    }
    void OutputNames(std::vector<std::string>& names) const override { names.push_back("torque"); }
    void Outputs(const Point& p, double* out) const override { out[0] = Torque(p); }

private:
    double Torque(const Point& p) const { return d_ * (p.Y(a_) - p.Y(b_)); }

    int a_, b_;
    double d_;
    int aa_ = -1, ab_ = -1, ba_ = -1, bb_ = -1, energy_ = 0;
};

} // namespace

namespace {
const char* const kDamperExamples[] = {
    R"({"type": "damper", "a": "a", "b": "b", "d": 0.3})"};
} // namespace

const ElementDoc kDamperDoc{
    "`a`, `b`, `d` ≥ 0 [Nm s/rad]",
    "draws d·(ω_a − ω_b) from a, the opposite from b; dissipates d·(ω_a − ω_b)²",
    kDamperExamples};

std::unique_ptr<ElementUnit> ReadDamper(const ElementReader& r) {
    r.Keys({"a", "b", "d"});
    int a = -1, b = -1;
    r.TwoEnds(a, b);
    return std::make_unique<Damper>(a, b, r.NonNegative("d"));
}

} // namespace dvx::sim

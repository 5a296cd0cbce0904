// Inertia on a node (its keys and equation: kInertiaDoc below). Its node's
// speed becomes a differential unknown.
#include "hostsim/sim/elements/reader.h"

namespace dvx::sim {

namespace {

class Inertia : public ElementUnit {
public:
    Inertia(int node, double j) : node_(node), j_(j) {}

    bool ExactOnInterpolant() const override { return true; }
    void Build(Builder& b) override {
        b.MarkDifferential(node_);
        entry_ = b.Entry(node_, node_);
    }
    void Residual(const Point& p, Rows& f) override { f.Add(node_, j_ * p.Yp(node_)); }
    void Jacobian(const Point&, const JacobianSink& j) override { j.Add(entry_, j_ * j.Cj()); }
    double Stored(const Point& p) const override { return 0.5 * j_ * p.Y(node_) * p.Y(node_); }
    void OutputNames(std::vector<std::string>& names) const override { names.push_back("omega"); }
    void Outputs(const Point& p, double* out) const override { out[0] = p.Y(node_); }

private:
    int node_;
    double j_;
    int entry_ = -1;
};

} // namespace

namespace {
const char* const kInertiaExamples[] = {
    R"({"type": "inertia", "node": "a", "J": 0.7})"};
} // namespace

const ElementDoc kInertiaDoc{
    "`node`, `J` > 0 [kg m²]",
    "draws J·dω/dt from the node; stores ½·J·ω²",
    kInertiaExamples};

std::unique_ptr<ElementUnit> ReadInertia(const ElementReader& r) {
    r.Keys({"node", "J"});
    return std::make_unique<Inertia>(r.Node("node"), r.Positive("J"));
}

} // namespace dvx::sim

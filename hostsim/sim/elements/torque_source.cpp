// Torque source on a node (kTorqueSourceDoc below): the waveform's value
// supplied, and its power.
#include "hostsim/sim/elements/reader.h"

namespace dvx::sim {

namespace {

class TorqueSource : public ElementUnit {
public:
    TorqueSource(int node, Waveform wave) : node_(node), wave_(std::move(wave)) {}

    bool ExactOnInterpolant() const override { return std::holds_alternative<Constant>(wave_); }
    void Build(Builder& b) override { energy_ = b.AddEnergy(Label(), EnergyKind::Supplied); }
    void Residual(const Point& p, Rows& f) override { f.Add(node_, -Evaluate(wave_, p.t)); }
    void Jacobian(const Point&, const JacobianSink&) override {}
    void Breakpoints(double from, double to, std::vector<double>& times) const override {
        AddBreakpoints(wave_, from, to, times);
    }
    void Powers(const Point& p, double* power) override { power[energy_] = Evaluate(wave_, p.t) * p.Y(node_); }
    void OutputNames(std::vector<std::string>& names) const override { names.insert(names.end(), {"torque", "omega"}); }
    void Outputs(const Point& p, double* out) const override {
        out[0] = Evaluate(wave_, p.t);
        out[1] = p.Y(node_);
    }

private:
    int node_;
    Waveform wave_;
    int energy_ = 0;
};

} // namespace

namespace {
const char* const kTorqueSourceExamples[] = {
    R"({"type": "torque_source", "node": "a", "torque": {"type": "sine", "amplitude": 2, "frequency": 1}})"};
} // namespace

const ElementDoc kTorqueSourceDoc{
    "`node`, `torque` (waveform) [Nm]",
    "supplies the torque to the node",
    kTorqueSourceExamples};

std::unique_ptr<ElementUnit> ReadTorqueSource(const ElementReader& r) {
    r.Keys({"node", "torque"});
    return std::make_unique<TorqueSource>(r.Node("node"), r.Wave("torque"));
}

} // namespace dvx::sim

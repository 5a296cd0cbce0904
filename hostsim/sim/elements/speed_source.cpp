// Speed source on a node (kSpeedSourceDoc below). The torque it supplies is
// an algebraic unknown: its row holds the node at the waveform's speed.
#include "hostsim/sim/elements/reader.h"

namespace dvx::sim {

namespace {

class SpeedSource : public ElementUnit {
public:
    SpeedSource(int node, Waveform wave) : node_(node), wave_(std::move(wave)) {}

    bool ExactOnInterpolant() const override { return std::holds_alternative<Constant>(wave_); }
    void Build(Builder& b) override {
        tau_ = b.AddUnknown(Label() + ".torque", UnknownKind::Algebraic, 0.0);
        nt_ = b.Entry(node_, tau_);
        tn_ = b.Entry(tau_, node_);
        energy_ = b.AddEnergy(Label(), EnergyKind::Supplied);
    }
    void Residual(const Point& p, Rows& f) override {
        f.Add(node_, -p.Y(tau_));
        f.Add(tau_, p.Y(node_) - Evaluate(wave_, p.t));
    }
    void Jacobian(const Point&, const JacobianSink& j) override {
        j.Add(nt_, -1.0);
        j.Add(tn_, 1.0);
    }
    void Breakpoints(double from, double to, std::vector<double>& times) const override {
        AddBreakpoints(wave_, from, to, times);
    }
    void Powers(const Point& p, double* power) override { power[energy_] = p.Y(tau_) * p.Y(node_); }
    void OutputNames(std::vector<std::string>& names) const override { names.insert(names.end(), {"torque", "omega"}); }
    void Outputs(const Point& p, double* out) const override {
        out[0] = p.Y(tau_);
        out[1] = p.Y(node_);
    }

private:
    int node_;
    Waveform wave_;
    int tau_ = -1, nt_ = -1, tn_ = -1, energy_ = 0;
};

} // namespace

namespace {
const char* const kSpeedSourceExamples[] = {
    R"({"type": "speed_source", "node": "c", "speed": 4})"};
} // namespace

const ElementDoc kSpeedSourceDoc{
    "`node`, `speed` (waveform) [rad/s]",
    "holds the node at that speed, with whatever torque it takes",
    kSpeedSourceExamples};

std::unique_ptr<ElementUnit> ReadSpeedSource(const ElementReader& r) {
    r.Keys({"node", "speed"});
    return std::make_unique<SpeedSource>(r.Node("node"), r.Wave("speed"));
}

} // namespace dvx::sim

// Engine on a node (kEngineDoc below): the throttle times the full-load
// torque at the node's speed, a table read with its end values held; it
// supplies that torque times the speed. Its inertia is an inertia element.
#include "hostsim/sim/elements/reader.h"

namespace dvx::sim {

namespace {

class Engine : public ElementUnit {
public:
    Engine(int node, Table table, Waveform throttle)
        : node_(node), table_(std::move(table)), throttle_(std::move(throttle)) {}

    void Build(Builder& b) override {
        entry_ = b.Entry(node_, node_);
        energy_ = b.AddEnergy(Label(), EnergyKind::Supplied);
    }
    void Residual(const Point& p, Rows& f) override { f.Add(node_, -Torque(p, nullptr)); }
    void Jacobian(const Point& p, const JacobianSink& j) override {
        double slope = 0.0;
        Torque(p, &slope);
        j.Add(entry_, -slope);
    }
    void Breakpoints(double from, double to, std::vector<double>& times) const override {
        AddBreakpoints(throttle_, from, to, times);
    }
    void Powers(const Point& p, double* power) override { power[energy_] = Torque(p, nullptr) * p.Y(node_); }
    void OutputNames(std::vector<std::string>& names) const override {
        names.insert(names.end(), {"torque", "throttle", "omega"});
    }
    void Outputs(const Point& p, double* out) const override {
        out[0] = Torque(p, nullptr);
        out[1] = Evaluate(throttle_, p.t);
        out[2] = p.Y(node_);
    }

private:
    double Torque(const Point& p, double* slope) const {
        double d = 0.0;
        const double full = TableAt(table_, p.Y(node_), &d);
        const double throttle = Evaluate(throttle_, p.t);
        if (slope != nullptr) *slope = throttle * d;
        return throttle * full;
    }

    int node_;
    Table table_;
    Waveform throttle_;
    int entry_ = -1, energy_ = 0;
};

} // namespace

namespace {
const char* const kEngineExamples[] = {
    R"({"type": "engine", "node": "a", "table": [[0, 10], [5, 20], [10, 5]], "throttle": 0.6})"};
} // namespace

const ElementDoc kEngineDoc{
    "`node`, `table`: `[[ω, T], …]` [rad/s, Nm], `throttle` (waveform, default 1)",
    "supplies throttle(t)·T(ω) to the node: the full-load torque over speed, piecewise "
    "linear, end values held; its inertia is an `inertia` on the same node",
    kEngineExamples};

std::unique_ptr<ElementUnit> ReadEngine(const ElementReader& r) {
    r.Keys({"node", "table", "throttle"});
    const int node = r.Node("node");
    Table table = r.PointTable("table");
    Waveform throttle = r.At().Has("throttle") ? r.NonNegativeWave("throttle") : Waveform{Constant{1.0}};
    return std::make_unique<Engine>(node, std::move(table), std::move(throttle));
}

} // namespace dvx::sim

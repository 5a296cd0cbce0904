// Engine: supplies throttle(t) * T(w) to its node, where T is the full-load
// torque over the node's speed, "table": [[w, T], ...] (piecewise linear,
// end values held), and "throttle" a waveform between 0 and 1 (default 1).
// Its inertia is an inertia element on the same node. It supplies
// throttle*T(w)*w.
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

std::unique_ptr<ElementUnit> ReadEngine(const ElementReader& r) {
    r.Keys({"node", "table", "throttle"});
    const int node = r.Node("node");
    Table table = r.PointTable("table");
    Waveform throttle = r.At().Has("throttle") ? r.NonNegativeWave("throttle") : Waveform{Constant{1.0}};
    return std::make_unique<Engine>(node, std::move(table), std::move(throttle));
}

} // namespace dvx::sim

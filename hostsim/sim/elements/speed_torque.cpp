// Speed-dependent load on a node: draws tau(w) from it. With "law" and the
// keys "torque" (T) and "speed" (W > 0):
//   "quadratic": tau = T * (w/W) * |w/W|    (air drag: T at W, opposing w)
//   "linear":    tau = T * w/W
// or with "table": [[w, tau], ...], piecewise linear in w, the end values
// held beyond it. Smooth enough for Newton: no events; a table's corners are
// taken in the integrator's stride. It dissipates tau*w.
#include "hostsim/sim/elements/reader.h"

#include <cmath>

namespace dvx::sim {

namespace {

class SpeedTorque : public ElementUnit {
public:
    enum class Law { Quadratic, Linear, Table };

    SpeedTorque(int node, Law law, double torque, double speed, Table table)
        : node_(node), law_(law), torque_(torque), speed_(speed), table_(std::move(table)) {}

    bool ExactOnInterpolant() const override { return law_ == Law::Linear; }
    void Build(Builder& b) override {
        entry_ = b.Entry(node_, node_);
        energy_ = b.AddEnergy(Label(), EnergyKind::Dissipated);
    }
    void Residual(const Point& p, Rows& f) override { f.Add(node_, Torque(p.Y(node_), nullptr)); }
    void Jacobian(const Point& p, const JacobianSink& j) override {
        double slope = 0.0;
        Torque(p.Y(node_), &slope);
        j.Add(entry_, slope);
    }
    void Powers(const Point& p, double* power) override {
        power[energy_] = Torque(p.Y(node_), nullptr) * p.Y(node_);
    }
    void OutputNames(std::vector<std::string>& names) const override { names.insert(names.end(), {"torque", "omega"}); }
    void Outputs(const Point& p, double* out) const override {
        out[0] = Torque(p.Y(node_), nullptr);
        out[1] = p.Y(node_);
    }

private:
    double Torque(double w, double* slope) const {
        double d = 0.0, tau = 0.0;
        switch (law_) {
        case Law::Quadratic: {
            const double x = w / speed_;
            tau = torque_ * x * std::abs(x);
            d = 2.0 * torque_ * std::abs(x) / speed_;
            break;
        }
        case Law::Linear:
            tau = torque_ * (w / speed_);
            d = torque_ / speed_;
            break;
        case Law::Table: tau = TableAt(table_, w, &d); break;
        }
        if (slope != nullptr) *slope = d;
        return tau;
    }

    int node_;
    Law law_;
    double torque_, speed_;
    Table table_;
    int entry_ = -1, energy_ = 0;
};

} // namespace

namespace {
const char* const kSpeedTorqueExamples[] = {
    R"({"type": "speed_torque", "node": "a", "law": "quadratic", "torque": 3, "speed": 2})",
    R"({"type": "speed_torque", "node": "b", "table": [[-5, -1], [0, 0], [4, 6]]})",
    R"({"type": "speed_torque", "node": "c", "law": "linear", "torque": 1, "speed": 10})"};
} // namespace

const ElementDoc kSpeedTorqueDoc{
    "`node`, and `law` (`\"quadratic\"` or `\"linear\"`) with `torque` [Nm] and `speed` > 0 "
    "[rad/s], or `table`: `[[ω, τ], …]`",
    "draws τ(ω) from the node: quadratic τ = torque·(ω/speed)·\\|ω/speed\\| (air drag), linear "
    "τ = torque·ω/speed, a table piecewise linear in ω with its end values held; dissipates "
    "τ·ω",
    kSpeedTorqueExamples};

std::unique_ptr<ElementUnit> ReadSpeedTorque(const ElementReader& r) {
    r.Keys({"node", "law", "torque", "speed", "table"});
    const int node = r.Node("node");
    const bool hasLaw = r.At().Has("law"), hasTable = r.At().Has("table");
    if (hasLaw == hasTable) r.Fail("give either \"law\" (with \"torque\" and \"speed\") or \"table\"");
    if (hasTable) {
        if (r.At().Has("torque") || r.At().Has("speed")) r.Fail("\"torque\" and \"speed\" belong to a \"law\"");
        return std::make_unique<SpeedTorque>(node, SpeedTorque::Law::Table, 0.0, 1.0, r.PointTable("table"));
    }
    const JsonAt lawField = r.At().Field("law");
    const std::string law = lawField.Text();
    SpeedTorque::Law kind = SpeedTorque::Law::Quadratic;
    if (law == "linear") kind = SpeedTorque::Law::Linear;
    else if (law != "quadratic") lawField.Fail("the law must be \"quadratic\" or \"linear\"");
    const double torque = r.Number("torque");
    return std::make_unique<SpeedTorque>(node, kind, torque, r.Positive("speed"), Table{});
}

} // namespace dvx::sim

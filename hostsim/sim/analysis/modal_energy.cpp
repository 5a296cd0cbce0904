#include "hostsim/sim/analysis/modal_energy.h"

#include "hostsim/sim/analysis/pencil.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>

namespace dvx::sim {

namespace {

using Complex = std::complex<double>;
using Sparse = Eigen::SparseMatrix<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A unit's terms probed through its own Residual and Stored at the point.
class Probe {
public:
    Probe(const LinearModel& lin, int size)
        : t_(lin.t), y0_(lin.y), yp0_(static_cast<size_t>(size), 0.0), f_(static_cast<size_t>(size), 0.0),
          y_(lin.y), yp_(static_cast<size_t>(size), 0.0) {
        for (double y : y0_) state_ = std::max(state_, std::abs(y));
    }

    // The unit's terms in `rows` along the real deviation (x, xp), by a
    // central difference: exact for terms linear or quadratic in y and y'.
    Eigen::VectorXd Along(ElementUnit& u, const std::vector<int>& rows, const Eigen::VectorXd& x,
                          const Eigen::VectorXd& xp) {
        Eigen::VectorXd out = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(rows.size()));
        const double size = std::max(x.cwiseAbs().maxCoeff(), xp.cwiseAbs().maxCoeff());
        if (size == 0.0) return out;
        const double h = 1e-3 * state_ / size;
        for (int side : {1, -1}) {
            for (size_t i = 0; i < y0_.size(); ++i) {
                y_[i] = y0_[i] + side * h * x[static_cast<Eigen::Index>(i)];
                yp_[i] = yp0_[i] + side * h * xp[static_cast<Eigen::Index>(i)];
            }
            Rows f(f_.data());
            u.Residual({t_, y_.data(), yp_.data()}, f);
            for (size_t r = 0; r < rows.size(); ++r) {
                double& cell = f_[static_cast<size_t>(rows[r])];
                out[static_cast<Eigen::Index>(r)] += side * cell / (2.0 * h);
                cell = 0.0;
            }
        }
        return out;
    }
    Eigen::VectorXcd Along(ElementUnit& u, const std::vector<int>& rows, const Eigen::VectorXcd& x,
                           const Eigen::VectorXcd& xp) {
        return Along(u, rows, Eigen::VectorXd(x.real()), Eigen::VectorXd(xp.real())).cast<Complex>() +
               Complex(0.0, 1.0) * Along(u, rows, Eigen::VectorXd(x.imag()), Eigen::VectorXd(xp.imag())).cast<Complex>();
    }
    // The quadratic part of the unit's stored energy along x; a wide step,
    // since the stored energies are quadratic and their linear part about a
    // turning state would swamp a narrow one.
    double Quadratic(const ElementUnit& u, const Eigen::VectorXd& x) {
        const double size = x.cwiseAbs().maxCoeff();
        if (size == 0.0) return 0.0;
        const double h = 1e3 * state_ / size;
        const double at = u.Stored({t_, y0_.data(), yp0_.data()});
        double sum = -2.0 * at;
        for (int side : {1, -1}) {
            for (size_t i = 0; i < y0_.size(); ++i) y_[i] = y0_[i] + side * h * x[static_cast<Eigen::Index>(i)];
            sum += u.Stored({t_, y_.data(), yp0_.data()});
        }
        return sum / (2.0 * h * h);
    }
    // The unit's term in row `row` per unit of unknown `col` (or of its
    // derivative, with `derivative`).
    double Coefficient(ElementUnit& u, const std::vector<int>& rows, int row, int col, bool derivative) {
        Eigen::VectorXd x = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(y0_.size())), xp = x;
        (derivative ? xp : x)[col] = 1.0;
        const Eigen::VectorXd terms = Along(u, rows, x, xp);
        for (size_t r = 0; r < rows.size(); ++r)
            if (rows[r] == row) return terms[static_cast<Eigen::Index>(r)];
        return 0.0;
    }

private:
    double t_;
    std::vector<double> y0_, yp0_, f_, y_, yp_;
    double state_ = 1.0;
};

struct UnitInfo {
    ElementUnit* unit = nullptr;
    std::string type;
    std::vector<int> rows, nodeRows;
    int own = -1; // its spring torque or backlash angle
};

std::vector<UnitInfo> Units(Network& network, const Model& model) {
    std::map<std::string, std::vector<size_t>> byLabel;
    std::vector<UnitInfo> units;
    for (ElementUnit* u : network.Units()) {
        UnitInfo info{u, "component", {}, {}, -1};
        for (const ElementRecord& e : model.elements)
            if (e.unit.get() == u) info.type = e.type;
        byLabel[u->Label()].push_back(units.size());
        units.push_back(std::move(info));
    }
    for (int r = 0; r < network.Size(); ++r)
        for (const std::string& label : network.RowUnits(r))
            for (size_t k : byLabel[label]) {
                std::vector<int>& rows = units[k].rows;
                if (std::find(rows.begin(), rows.end(), r) == rows.end()) rows.push_back(r);
                if (r < network.NodeCount() && std::find(units[k].nodeRows.begin(), units[k].nodeRows.end(), r) ==
                                                   units[k].nodeRows.end())
                    units[k].nodeRows.push_back(r);
            }
    for (UnitInfo& u : units)
        for (int r : u.rows)
            if (const std::string& l = network.Label(r); l == u.unit->Label() + ".torque" || l == u.unit->Label() + ".angle")
                u.own = r;
    return units;
}

// The full eigenvector from its part on D: v = (sigma - lambda)*(A + sigma*B)^-1 * B * v_D.
struct FullVectors {
    explicit FullVectors(const LinearModel& lin) : bd(ColumnsAtD(lin.b, SplitUnknowns(lin.b))) {
        sigma = ModelRate(lin.a, lin.b);
        for (int attempt = 0; attempt < 4; ++attempt, sigma *= 2.718281828459045) {
            Sparse m = lin.a + sigma * lin.b;
            m.makeCompressed();
            lu.compute(m);
            if (lu.info() == Eigen::Success) return;
        }
        throw SimError("the linearised equations have no unique solution for the modes' energies");
    }
    Eigen::VectorXcd Of(const Mode& m) {
        const Eigen::VectorXcd rhs = bd.cast<Complex>() * m.vector;
        const Eigen::VectorXd re = lu.solve(Eigen::VectorXd(rhs.real())), im = lu.solve(Eigen::VectorXd(rhs.imag()));
        return (sigma - m.lambda) * (re.cast<Complex>() + Complex(0.0, 1.0) * im.cast<Complex>());
    }
    Sparse bd;
    double sigma = 1.0;
    Eigen::SparseLU<Sparse, Eigen::COLAMDOrdering<int>> lu;
};

// The left eigenvector, w^H*(A + lambda*B) = 0, by inverse iteration.
Eigen::VectorXcd LeftVector(const LinearModel& lin, Complex lambda) {
    const Complex near = lambda * (1.0 + 1e-9);
    Eigen::SparseMatrix<Complex> m = lin.a.cast<Complex>() + near * lin.b.cast<Complex>();
    Eigen::SparseMatrix<Complex> h = m.adjoint();
    h.makeCompressed();
    Eigen::SparseLU<Eigen::SparseMatrix<Complex>, Eigen::COLAMDOrdering<int>> lu(h);
    Eigen::VectorXcd w = Eigen::VectorXcd::Ones(m.rows());
    for (int k = 0; k < 3 && lu.info() == Eigen::Success; ++k) {
        w = lu.solve(w);
        w /= w.norm();
    }
    return w;
}

} // namespace

namespace {

// The kinds of parameter an element type has.
std::vector<ParameterKind> KindsOf(const std::string& type) {
    if (type == "inertia") return {ParameterKind::J};
    if (type == "damper" || type == "bearing_friction") return {ParameterKind::D};
    if (type == "spring") return {ParameterKind::C};
    if (type == "elasto_backlash") return {ParameterKind::C, ParameterKind::D};
    return {};
}

Eigen::VectorXcd OnlyAt(const Eigen::VectorXcd& v, const std::vector<int>& at) {
    Eigen::VectorXcd out = Eigen::VectorXcd::Zero(v.size());
    for (int i : at) out[i] = v[i];
    return out;
}

// The part of the unit's terms (over its rows) that scales with its
// parameter of `kind`, along the mode (v, lambda*v).
Eigen::VectorXcd ScaledPart(Probe& probe, const UnitInfo& u, ParameterKind kind, const Eigen::VectorXcd& v,
                            Complex lambda) {
    const Eigen::VectorXcd none = Eigen::VectorXcd::Zero(v.size());
    Eigen::VectorXcd g;
    if (u.type == "inertia" || u.type == "damper") return probe.Along(*u.unit, u.rows, v, Eigen::VectorXcd(lambda * v));
    if (u.type == "spring") {
        // Its own row, tau' - c*(w_a - w_b): all but the derivative.
        g = probe.Along(*u.unit, u.rows, v, Eigen::VectorXcd(lambda * v));
        for (size_t r = 0; r < u.rows.size(); ++r)
            g[static_cast<Eigen::Index>(r)] = u.rows[r] == u.own ? g[static_cast<Eigen::Index>(r)] - lambda * v[u.own] : 0.0;
        return g;
    }
    // A backlash's c*phi (its angle moved) and d*(w_a - w_b) (its speeds
    // moved), and a bearing's viscous torque, in the node rows alone.
    const bool stiffness = kind == ParameterKind::C;
    g = probe.Along(*u.unit, u.rows, stiffness ? OnlyAt(v, {u.own}) : OnlyAt(v, u.nodeRows), none);
    for (size_t r = 0; r < u.rows.size(); ++r)
        if (std::find(u.nodeRows.begin(), u.nodeRows.end(), u.rows[r]) == u.nodeRows.end())
            g[static_cast<Eigen::Index>(r)] = 0.0;
    return g;
}

// The parameter's value, by the unit's coefficient that it is; 0 where the
// unit's present mode leaves it out (a backlash in its play).
double ParameterValue(Probe& probe, const UnitInfo& u, ParameterKind kind) {
    if (u.nodeRows.empty()) return 0.0;
    const int n = u.nodeRows.front();
    switch (kind) {
    case ParameterKind::J: return probe.Coefficient(*u.unit, u.rows, n, n, true);
    case ParameterKind::C:
        return u.type == "spring" ? std::abs(probe.Coefficient(*u.unit, u.rows, u.own, n, false))
                                  : std::abs(probe.Coefficient(*u.unit, u.rows, n, u.own, false));
    case ParameterKind::D: return std::abs(probe.Coefficient(*u.unit, u.rows, n, n, false));
    }
    return 0.0;
}

} // namespace

ModalEnergy ComputeModalEnergy(const LinearModel& lin, Network& network, const Model& model, const ModeSet& set) {
    std::vector<UnitInfo> units = Units(network, model);
    Probe probe(lin, network.Size());
    FullVectors full(lin);
    ModalEnergy out;
    const size_t nm = set.modes.size();
    for (const UnitInfo& u : units) {
        ElementModalEnergy e;
        e.element = u.unit->Label();
        e.type = u.type;
        e.kinetic.assign(nm, 0.0), e.strain.assign(nm, 0.0), e.dissipation.assign(nm, 0.0);
        for (ParameterKind kind : KindsOf(u.type))
            if (const double p = ParameterValue(probe, u, kind); p != 0.0) e.value[static_cast<int>(kind)] = p;
        for (auto& s : e.sensitivity) s.assign(nm, kNaN);
        out.elements.push_back(std::move(e));
    }
    for (size_t k = 0; k < nm; ++k) {
        const Mode& m = set.modes[k];
        const Eigen::VectorXcd v = full.Of(m);
        const Eigen::VectorXd re = v.real(), im = v.imag();
        const double omega = std::abs(m.lambda.imag());
        double kinetic = 0.0, strain = 0.0, dissipated = 0.0;
        for (size_t u = 0; u < units.size(); ++u) {
            ElementModalEnergy& e = out.elements[u];
            const double stored = 0.5 * (probe.Quadratic(*units[u].unit, re) + probe.Quadratic(*units[u].unit, im));
            (units[u].type == "inertia" ? e.kinetic[k] : e.strain[k]) = stored;
            (units[u].type == "inertia" ? kinetic : strain) += stored;
            if (omega > 0.0 && !units[u].nodeRows.empty()) {
                // The torques the speeds draw directly (a damper's, a load's
                // slope): (pi/w) * v^H * C * v, the energy of one cycle of
                // the shape's harmonic motion.
                const Eigen::VectorXcd g = probe.Along(*units[u].unit, units[u].rows, OnlyAt(v, units[u].nodeRows),
                                                       Eigen::VectorXcd::Zero(v.size()));
                double power = 0.0;
                for (size_t r = 0; r < units[u].rows.size(); ++r)
                    if (units[u].rows[r] < network.NodeCount())
                        power += 0.5 * (g[static_cast<Eigen::Index>(r)] * std::conj(v[units[u].rows[r]])).real();
                e.dissipation[k] = 2.0 * std::numbers::pi / omega * power;
                dissipated += e.dissipation[k];
            }
        }
        for (ElementModalEnergy& e : out.elements) {
            e.kinetic[k] = kinetic > 0.0 ? e.kinetic[k] / kinetic : kNaN;
            // A rigid-body mode strains nothing: what the differences leave
            // there is rounding.
            e.strain[k] = strain > 1e-9 * kinetic && !m.rigid ? e.strain[k] / strain : kNaN;
            e.dissipation[k] = omega > 0.0 && dissipated != 0.0 ? e.dissipation[k] / dissipated : kNaN;
        }
        if (m.rigid) continue;
        const Eigen::VectorXcd w = LeftVector(lin, m.lambda);
        const Complex den = w.dot(lin.b.cast<Complex>() * v);
        for (size_t u = 0; u < units.size(); ++u)
            for (ParameterKind kind : KindsOf(units[u].type)) {
                ElementModalEnergy& e = out.elements[u];
                if (std::isnan(e.value[static_cast<int>(kind)])) continue;
                const Eigen::VectorXcd g = ScaledPart(probe, units[u], kind, v, m.lambda);
                Complex num = 0.0;
                for (size_t r = 0; r < units[u].rows.size(); ++r)
                    num += std::conj(w[units[u].rows[r]]) * g[static_cast<Eigen::Index>(r)];
                const Complex dl = -num / den;
                e.sensitivity[static_cast<int>(kind)][k] = (std::conj(m.lambda) * dl).real() / std::norm(m.lambda);
            }
    }
    return out;
}

} // namespace dvx::sim

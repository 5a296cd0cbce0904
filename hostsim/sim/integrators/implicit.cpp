#include "hostsim/sim/integrators/implicit.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <cmath>

namespace dvx::sim {

namespace {

constexpr int kNewtonIterations = 12;
// A correction that no longer shrinks has reached the rounding error of the
// solve (a short step makes the algebraic torques a difference of large
// terms); it is accepted while it stays this far within the norm above.
constexpr double kStallNorm = 1e4;
// The short steps of consistent values hold their algebraic unknowns to a
// looser test: IDA, or the first step, computes them afresh at once.
constexpr double kConsistentLoosening = 100.0;
constexpr double kProjectTightening = 1e-3;
// Rounds of mode changes at one event before the run gives up.
constexpr int kModeRounds = 50;
// Names listed in a message before "and N more".
constexpr size_t kListed = 8;

std::string List(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < kListed; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > kListed) text += " and " + std::to_string(names.size() - kListed) + " more";
    return text;
}

} // namespace

ImplicitSolver::ImplicitSolver(Network& network) : network_(network), factor_(network.Pattern()) {
    const size_t n = static_cast<size_t>(network.Size());
    f_.resize(n);
    dx_.resize(n);
    factor_.SetFloating([&network](int unknown) { return network.MayFloat(unknown); });
}

void ImplicitSolver::SetTolerances(double rtol, double atol) {
    rtol_ = rtol;
    atol_ = atol;
}

ImplicitSolver::Norms ImplicitSolver::Norm(const std::vector<double>& dx, const std::vector<double>& y) const {
    // The projection's states are held to a test at the rounding error: the
    // constraints they must meet are what it is for, and its very short
    // step leaves a first iteration a little short of them. The algebraic
    // unknowns of short steps are differences of large terms.
    const double states = !inConsistent_ ? 1.0 : statesOnly_ ? kProjectTightening : 1.0;
    const double algebraic = inConsistent_ ? kConsistentLoosening : 1.0;
    const std::vector<UnknownKind>& kinds = network_.Kinds();
    double sum[2] = {0.0, 0.0};
    size_t count[2] = {0, 0};
    for (size_t i = 0; i < dx.size(); ++i) {
        const bool differential = kinds[i] == UnknownKind::Differential;
        const double w = dx[i] / ((differential ? states : algebraic) * (rtol_ * std::abs(y[i]) + atol_));
        sum[differential ? 0 : 1] += w * w;
        ++count[differential ? 0 : 1];
    }
    auto rms = [&](int k) { return count[k] == 0 ? 0.0 : std::sqrt(sum[k] / static_cast<double>(count[k])); };
    return {rms(0), statesOnly_ ? 0.0 : rms(1)};
}

std::string ImplicitSolver::DescribeSingular(double t, const SparseFactor& factor) const {
    const Dependence& d = factor.Dependence();
    std::vector<std::string> unknowns, rows, units;
    for (int u : d.unknowns) unknowns.push_back(network_.Label(u));
    for (int r : d.rows) {
        rows.push_back(network_.RowText(r));
        for (const std::string& unit : network_.RowUnits(r))
            if (std::find(units.begin(), units.end(), unit) == units.end()) units.push_back(unit);
    }
    std::string text = "at t = " + TimeText(t) + " the network's equations are singular";
    if (!rows.empty()) text += ": " + List(rows) + " depend on one another";
    if (!unknowns.empty())
        text += (rows.empty() ? ": " : ", and ") + List(unknowns) + (unknowns.size() == 1 ? " is" : " are") +
                " not fixed by them";
    if (!units.empty()) text += " (elements and instances involved: " + List(units) + ")";
    return text + ". A speed fixed twice (by a source or a gear against the ground, or by a loop of gears whose "
                  "ratios disagree), or a node whose speed nothing fixes (no inertia, nothing but a spring or "
                  "an engine on it), makes them so";
}

void ImplicitSolver::NoteFloating(const SparseFactor& factor, std::vector<std::string>& warnings) const {
    const Dependence& d = factor.FirstDeficiency().Empty() ? factor_.FirstDeficiency() : factor.FirstDeficiency();
    if (d.Empty()) return;
    std::vector<std::string> torques, units;
    for (int u : d.unknowns) torques.push_back(network_.Label(u));
    for (int r : d.rows)
        for (const std::string& unit : network_.RowUnits(r))
            if (std::find(units.begin(), units.end(), unit) == units.end()) units.push_back(unit);
    const std::string text = List(torques) + " are determined only together: the equations of " + List(units) +
                             " fix the same speeds (a loop of gears whose ratios agree, or a speed fixed twice "
                             "alike), so the run leaves the split between them as its solver finds it";
    if (std::find(warnings.begin(), warnings.end(), text) == warnings.end()) warnings.push_back(text);
}

void ImplicitSolver::Solve(double t, const std::vector<double>& base, double alpha, const std::vector<double>& g,
                           std::vector<double>& y, std::vector<double>& yp) {
    const size_t n = base.size();
    const double named = inConsistent_ ? messageTime_ : t;
    y = base;
    yp.resize(n);
    auto derivative = [&] {
        for (size_t i = 0; i < n; ++i) yp[i] = alpha * (y[i] - base[i]) - (g.empty() ? 0.0 : g[i]);
    };
    derivative();
    network_.Residual(t, y.data(), yp.data(), f_.data());
    ++residuals_;
    double previous = 0.0;
    for (int iteration = 1; iteration <= kNewtonIterations; ++iteration) {
        ++iterations_;
        network_.Jacobian(t, y.data(), yp.data(), alpha, factor_.Values());
        ++jacobians_;
        if (!factor_.Factorize()) throw SingularError(DescribeSingular(named, factor_));
        for (double& v : f_) v = -v;
        if (!factor_.Solve(f_.data(), dx_.data())) throw SingularError(DescribeSingular(named, factor_));
        for (size_t i = 0; i < n; ++i) {
            y[i] += dx_[i];
            if (!std::isfinite(y[i]))
                throw SimError("at t = " + TimeText(named) + " the solution is no longer finite (" +
                               network_.Label(static_cast<int>(i)) + ")");
        }
        derivative();
        network_.Residual(t, y.data(), yp.data(), f_.data());
        ++residuals_;
        // The correction the residual at y still calls for, with the same
        // factorisation.
        for (size_t i = 0; i < n; ++i) dx_[i] = -f_[i];
        if (!factor_.Solve(dx_.data(), dx_.data())) throw SingularError(DescribeSingular(named, factor_));
        const Norms norms = Norm(dx_, y);
        const double norm = std::max(norms.states, norms.algebraic);
        if (norm <= 1.0) return;
        // A correction that no longer shrinks has reached the rounding error.
        // Short steps make that of the algebraic unknowns grow as 1/h: there
        // only the states need be within the bound.
        const bool stalled = iteration > 1 && norm > 0.5 * previous;
        if (stalled && (norm <= kStallNorm || (inConsistent_ && norms.states <= kStallNorm))) return;
        previous = norm;
    }
    size_t worst = 0;
    for (size_t i = 0; i < n; ++i)
        if (std::abs(dx_[i]) > std::abs(dx_[worst])) worst = i;
    throw SimError("at t = " + TimeText(named) + " Newton's iteration did not converge in " +
                   std::to_string(kNewtonIterations) + " iterations (the largest change is in " +
                   network_.Label(static_cast<int>(worst)) + ")");
}

void ImplicitSolver::Consistent(double t, double hProject, double hDerive, Side side, std::vector<double>& y,
                                std::vector<double>& yp) {
    Project(t, hProject, y);
    Derive(t, hDerive, side, y, yp);
}

void ImplicitSolver::Project(double t, double h, std::vector<double>& y) {
    const size_t n = y.size();
    const double alpha = 1.0 / h;
    base_ = y;
    messageTime_ = t;
    inConsistent_ = true;
    statesOnly_ = true;
    struct Reset {
        ImplicitSolver& s;
        ~Reset() { s.inConsistent_ = s.statesOnly_ = false; }
    } reset{*this};
    Solve(t, base_, alpha, {}, y1_, yp1_);
    Solve(t, y1_, alpha, {}, y2_, yp2_);
    const std::vector<UnknownKind>& kinds = network_.Kinds();
    for (size_t i = 0; i < n; ++i) {
        if (kinds[i] != UnknownKind::Differential) continue;
        const double corrected = 2.0 * y1_[i] - y2_[i];
        y[i] = std::abs(corrected - base_[i]) <= 1e-6 * std::abs(y1_[i] - base_[i]) ? base_[i] : corrected;
    }
}

void ImplicitSolver::Derive(double t, double h, Side side, std::vector<double>& y, std::vector<double>& yp) {
    const size_t n = y.size();
    base_ = y;
    messageTime_ = t;
    inConsistent_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{inConsistent_};
    // a: the step on the first side, b: the second, with the derivative
    // each gives and the weights that cancel their first-order errors.
    double ta = t + h, tb = t + 2.0 * h, alphaA = 1.0 / h, alphaB = 1.0 / (2.0 * h);
    double wa = 2.0, wb = -1.0;
    if (side == Side::Central) {
        tb = t - h;
        alphaB = -1.0 / h;
        wa = wb = 0.5;
    } else if (side == Side::Backward) {
        ta = t - h;
        tb = t - 2.0 * h;
        alphaA = -1.0 / h;
        alphaB = -1.0 / (2.0 * h);
    }
    Solve(ta, base_, alphaA, {}, a_, yp1_);
    Solve(tb, base_, alphaB, {}, b_, yp2_);
    yp.assign(n, 0.0);
    const std::vector<UnknownKind>& kinds = network_.Kinds();
    for (size_t i = 0; i < n; ++i) {
        if (kinds[i] == UnknownKind::Differential) {
            yp[i] = wa * yp1_[i] + wb * yp2_[i];
        } else {
            y[i] = wa * a_[i] + wb * b_[i];
        }
    }
}

long ImplicitSolver::Start(double t, double hProject, double hDerive, std::vector<double>& y, std::vector<double>& yp,
                           std::vector<ModeChange>* modes) {
    network_.StartModes(t, y.data(), yp.data());
    const std::vector<double> initial = y;
    try {
        Consistent(t, hProject, hDerive, Side::Forward, y, yp);
    } catch (const SingularError&) {
        // Stuck by the initial speeds where the network fixes them apart (a
        // clutch between two speed sources): let go, find the speeds, and
        // choose the modes from them.
        if (!network_.Loosen()) throw;
        y = initial;
        Consistent(t, hProject, hDerive, Side::Forward, y, yp);
        network_.StartModes(t, y.data(), yp.data());
        Consistent(t, hProject, hDerive, Side::Forward, y, yp);
    }
    return SettleModes(t, hProject, hDerive, y, yp, nullptr, modes);
}

long ImplicitSolver::SettleModes(double t, double hProject, double hDerive, std::vector<double>& y,
                                 std::vector<double>& yp, const int* fired, std::vector<ModeChange>* modes) {
    long changes = 0;
    for (int round = 0; round < kModeRounds; ++round) {
        if (!network_.Settle(t, y.data(), yp.data(), round == 0 ? fired : nullptr)) return changes;
        ++changes;
        if (modes != nullptr)
            for (ModeChange& m : network_.ModeChanges()) {
                m.round = round;
                modes->push_back(std::move(m));
            }
        Consistent(t, hProject, hDerive, Side::Forward, y, yp);
    }
    throw SimError("at t = " + TimeText(t) + " the modes do not settle after " + std::to_string(kModeRounds) +
                   " changes (last: " + network_.ModeReport() + ")");
}

} // namespace dvx::sim

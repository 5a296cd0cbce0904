#include "hostsim/sim/integrators/implicit.h"

#include <cmath>
#include <sstream>

namespace dvx::sim {

namespace {

// The iteration has converged when the next correction is below these, in
// the root-mean-square norm weighted like IDA's: far below any tolerance a
// run asks for, far above the rounding error of the solve.
constexpr double kNewtonRtol = 1e-10;
constexpr double kNewtonAtol = 1e-12;
constexpr int kNewtonIterations = 12;
// A correction that no longer shrinks has reached the rounding error of the
// solve (a short step makes the algebraic torques a difference of large
// terms); it is accepted while it stays this far within the norm above.
constexpr double kStallNorm = 1e4;
constexpr double kConsistentLoosening = 100.0;
// Rounds of mode changes at one event before the run gives up.
constexpr int kModeRounds = 50;

} // namespace

ImplicitSolver::ImplicitSolver(Network& network) : network_(network), factor_(network.Pattern()) {
    const size_t n = static_cast<size_t>(network.Size());
    f_.resize(n);
    dx_.resize(n);
}

double ImplicitSolver::Norm(const std::vector<double>& dx, const std::vector<double>& y) const {
    // Consistent values come from very short steps, whose algebraic torques
    // are differences of large terms: they are held to a looser test (IDA or
    // the first step computes them afresh at once).
    const double scale = inConsistent_ ? kConsistentLoosening : 1.0;
    double sum = 0.0;
    for (size_t i = 0; i < dx.size(); ++i) {
        const double w = dx[i] / (scale * (kNewtonRtol * std::abs(y[i]) + kNewtonAtol));
        sum += w * w;
    }
    return dx.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(dx.size()));
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
        if (!factor_.Factorize())
            throw SimError("at t = " + TimeText(named) + " the network's equations are singular (" + factor_.Error() +
                           "): every node needs a path that fixes its speed, through an inertia, a damper, "
                           "a spring, a source or a gear");
        for (double& v : f_) v = -v;
        factor_.Solve(f_.data(), dx_.data());
        for (size_t i = 0; i < n; ++i) {
            y[i] += dx_[i];
            if (!std::isfinite(y[i])) throw SimError("at t = " + TimeText(named) + " the solution is no longer finite");
        }
        derivative();
        network_.Residual(t, y.data(), yp.data(), f_.data());
        ++residuals_;
        // The correction the residual at y still calls for, with the same
        // factorisation.
        for (size_t i = 0; i < n; ++i) dx_[i] = -f_[i];
        factor_.Solve(dx_.data(), dx_.data());
        const double norm = Norm(dx_, y);
        if (norm <= 1.0 || (iteration > 1 && norm <= kStallNorm && norm > 0.5 * previous)) return;
        previous = norm;
    }
    size_t worst = 0;
    for (size_t i = 0; i < n; ++i)
        if (std::abs(dx_[i]) > std::abs(dx_[worst])) worst = i;
    throw SimError("at t = " + TimeText(named) + " Newton's iteration did not converge in " +
                   std::to_string(kNewtonIterations) + " iterations (the largest change is in " +
                   network_.Label(static_cast<int>(worst)) + ")");
}

void ImplicitSolver::Consistent(double t, double hShort, std::vector<double>& y, std::vector<double>& yp) {
    const size_t n = y.size();
    const double alpha = 1.0 / hShort;
    base_ = y;
    messageTime_ = t;
    inConsistent_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{inConsistent_};
    Solve(t + hShort, base_, alpha, {}, y1_, yp1_);
    first_.resize(n);
    for (size_t i = 0; i < n; ++i) first_[i] = y1_[i] - base_[i];
    Solve(t + 2.0 * hShort, y1_, alpha, {}, y, yp);
    const std::vector<UnknownKind>& kinds = network_.Kinds();
    for (size_t i = 0; i < n; ++i) {
        const double drift = y[i] - y1_[i];
        if (kinds[i] == UnknownKind::Differential) {
            y[i] = y1_[i] - drift;
            if (std::abs(y[i] - base_[i]) <= 1e-6 * std::abs(first_[i])) y[i] = base_[i];
            yp[i] = drift * alpha;
        } else {
            yp[i] = 0.0;
        }
    }
}

long ImplicitSolver::SettleModes(double t, double hShort, std::vector<double>& y, std::vector<double>& yp,
                                 const int* fired, std::vector<ModeSet>* modes) {
    long changes = 0;
    for (int round = 0; round < kModeRounds; ++round) {
        if (!network_.Settle(t, y.data(), yp.data(), round == 0 ? fired : nullptr)) return changes;
        ++changes;
        if (modes != nullptr)
            for (ModeSet& m : network_.ModeChanges()) {
                m.round = round;
                modes->push_back(std::move(m));
            }
        Consistent(t, hShort, y, yp);
    }
    throw SimError("at t = " + TimeText(t) + " the modes do not settle after " + std::to_string(kModeRounds) +
                   " changes (last: " + network_.ModeReport() + ")");
}

} // namespace dvx::sim

// Backward Euler and BDF2 at a fixed step, each step a Newton iteration on
// the residual:
//   backward Euler: y' = (y - y_n)/h
//   BDF2:           y' = 3/(2h)*(y - y_n) - (y_n - y_{n-1})/(2h)
// BDF2 starts, and restarts after every mode change, with one Euler step.
// Starting from y_n, a linear network converges in one iteration, which is
// the linear solve for the increment y - y_n: solving for the increment keeps
// the rounding error of large, slowly changing speeds out of the result.
//
// The trapezoidal rule is not offered: a gear between two inertias makes its
// torque an index-2 algebraic unknown, and the trapezoidal rule carries an
// undamped, sign-alternating error in that torque from step to step.
//
// Mode changes happen at the step where a crossing function changes sign:
// the step is taken again from y_n in the new modes, with backward Euler.
// Energies are integrated with the step's own formula.
#include "hostsim/sim/integrators/fixed_step.h"

#include "hostsim/sim/integrators/implicit.h"

#include <algorithm>
#include <chrono>

namespace dvx::sim {

namespace {

// The start is made consistent with a backward Euler step this much shorter
// than the real step (or than a hundredth of the output interval, for very
// short steps): long enough that the torques it computes stay clear of
// rounding, short enough that the speeds do not move.
constexpr double kStartFraction = 1e-7;
constexpr double kIntervalShare = 1e-2;

// Per crossing, the direction of a sign change from `before` to `after`, or
// 0. A function that starts at zero has not crossed.
bool Fired(const std::vector<double>& before, const std::vector<double>& after, std::vector<int>& fired) {
    bool any = false;
    for (size_t k = 0; k < before.size(); ++k) {
        const bool crossed = before[k] != 0.0 && (after[k] == 0.0 || (before[k] < 0.0) != (after[k] < 0.0));
        fired[k] = crossed ? (after[k] > before[k] ? 1 : -1) : 0;
        any = any || crossed;
    }
    return any;
}

class FixedStep : public Integrator {
public:
    FixedStep(Method method, Network& network, Session& session)
        : method_(method), network_(network), session_(session), solver_(network) {}

    SolverStats Run(const Settings& s, Observer& observer) override;

private:
    Method method_;
    Network& network_;
    Session& session_;
    ImplicitSolver solver_;
};

SolverStats FixedStep::Run(const Settings& s, Observer& observer) {
    const auto started = std::chrono::steady_clock::now();
    const long stepCalls = session_.StepCalls();
    const long residuals = solver_.Residuals(), jacobians = solver_.Jacobians();
    const long iterations = solver_.Iterations(), factorizations = solver_.Factorizations();
    SolverStats stats;

    const StepPlan plan = PlanSteps(s);
    const double h = plan.step;
    const double hShort = kStartFraction * std::max(h, kIntervalShare * s.outputInterval);
    const size_t n = static_cast<size_t>(network_.Size());
    std::vector<double> y = network_.Initial(), yp(n, 0.0), yNew, ypNew, yPrev, g;
    network_.StartModes(s.start, y.data(), yp.data());
    solver_.Consistent(s.start, hShort, y, yp);
    {
        std::vector<ModeSet> modes;
        stats.modeChanges += solver_.SettleModes(s.start, hShort, y, yp, nullptr, &modes);
        stats.events.push_back({s.start, "start", std::move(modes)});
    }

    std::vector<double> outputs, powers;
    std::vector<EnergyAccount>& energies = network_.Energies();
    std::vector<double> q(energies.size(), 0.0), qPrev;
    network_.Observe(s.start, y.data(), yp.data(), outputs);
    observer.OnStep(s.start, y);
    observer.OnSample({s.start, y, outputs});

    const size_t crossings = static_cast<size_t>(network_.CrossingCount());
    std::vector<double> before(crossings), after(crossings);
    std::vector<int> fired(crossings);
    bool restart = true;
    double tPrev = s.start;
    for (long interval = 0; interval < plan.intervals; ++interval) {
        const double base = GridTime(s, interval);
        for (long j = 1; j <= plan.stepsPerInterval; ++j) {
            const double t = j == plan.stepsPerInterval ? GridTime(s, interval + 1) : base + static_cast<double>(j) * h;
            bool euler = method_ == Method::Euler || restart;
            g.clear();
            if (!euler) {
                g.resize(n);
                for (size_t i = 0; i < n; ++i) g[i] = (y[i] - yPrev[i]) / (2.0 * h);
            }
            if (crossings > 0) network_.Crossings(tPrev, y.data(), yp.data(), before.data());
            solver_.Solve(t, y, euler ? 1.0 / h : 1.5 / h, g, yNew, ypNew);
            restart = false;
            if (crossings > 0) {
                network_.Crossings(t, yNew.data(), ypNew.data(), after.data());
                const double storedOld = network_.Stored(t, yNew.data()); // in the modes of the step
                if (Fired(before, after, fired) && network_.Settle(t, yNew.data(), ypNew.data(), fired.data())) {
                    ++stats.stateEvents;
                    ++stats.modeChanges;
                    euler = restart = true;
                    std::vector<ModeSet> modes = network_.ModeChanges();
                    for (int round = 0;; ++round) {
                        solver_.Solve(t, y, 1.0 / h, {}, yNew, ypNew);
                        if (!network_.Settle(t, yNew.data(), ypNew.data(), nullptr)) break;
                        ++stats.modeChanges;
                        for (ModeSet& m : network_.ModeChanges()) {
                            m.round = round + 1;
                            modes.push_back(std::move(m));
                        }
                        if (round == 50)
                            throw SimError("at t = " + TimeText(t) + " the modes do not settle (last: " +
                                           network_.ModeReport() + ")");
                    }
                    stats.events.push_back({t, "crossing", std::move(modes)});
                    // What the change of mode took from the stored energy at
                    // once (a contact that ends with its spring compressed),
                    // seen as the step taken in the old modes against the one
                    // taken again in the new.
                    stats.eventEnergy += storedOld - network_.Stored(t, yNew.data());
                }
            }
            yPrev.swap(y);
            y.swap(yNew);
            yp.swap(ypNew);
            tPrev = t;
            ++stats.steps;
            network_.Powers(t, y.data(), yp.data(), powers);
            if (euler) {
                qPrev = q;
                for (size_t k = 0; k < q.size(); ++k) q[k] += h * powers[k];
            } else {
                for (size_t k = 0; k < q.size(); ++k) {
                    const double next = (4.0 * q[k] - qPrev[k]) / 3.0 + (2.0 * h / 3.0) * powers[k];
                    qPrev[k] = q[k];
                    q[k] = next;
                }
            }
            observer.OnStep(t, y);
            if (j == plan.stepsPerInterval) {
                network_.Observe(t, y.data(), yp.data(), outputs);
                observer.OnSample({t, y, outputs});
            }
        }
    }
    for (size_t k = 0; k < q.size(); ++k) energies[k].value = q[k];

    stats.residuals = solver_.Residuals() - residuals;
    stats.jacobians = solver_.Jacobians() - jacobians;
    stats.newtonIterations = solver_.Iterations() - iterations;
    stats.factorizations = solver_.Factorizations() - factorizations;
    stats.stepCalls = session_.StepCalls() - stepCalls;
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return stats;
}

} // namespace

std::unique_ptr<Integrator> MakeFixedStep(Method method, Network& network, Session& session) {
    return std::make_unique<FixedStep>(method, network, session);
}

} // namespace dvx::sim

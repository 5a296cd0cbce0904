// Backward Euler and BDF2 at a fixed step, each step a Newton iteration on
// the residual:
//   backward Euler: y' = (y - y_n)/h
//   BDF2:           y' = a*(y - y_n) - b*(y_n - y_{n-1}),
//                   a = (1 + 2w)/((1 + w)h), b = w^2/((1 + w)h), w = h/h_{n-1}
// (w = 1 but for the step that lands on a breakpoint and the one after it).
// BDF2 starts, and restarts after every event, with one Euler step.
// Starting from y_n, a linear network converges in one iteration, which is
// the linear solve for the increment y - y_n: solving for the increment keeps
// the rounding error of large, slowly changing speeds out of the result.
//
// The steps lie at start + k*step, and a step is shortened to land on every
// breakpoint, which is a time event with consistent values after it, as in
// ida. Samples between steps come from the method's own interpolation
// (BDF2's parabola through the last three points, Euler's line), made
// consistent at their own time; the output grid never moves a step.
//
// The trapezoidal rule is not offered: a gear between two inertias makes its
// torque an index-2 algebraic unknown, and the trapezoidal rule carries an
// undamped, sign-alternating error in that torque from step to step.
//
// Mode changes happen at the step where a crossing function changes sign:
// the step is taken again from y_n in the new modes, with backward Euler.
// Energies are integrated with the step's own formula.
#include "hostsim/sim/integrators/fixed_step.h"
#include "hostsim/sim/base/numbers.h"

#include "hostsim/sim/integrators/events.h"
#include "hostsim/sim/integrators/implicit.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace dvx::sim {

namespace {

// Per crossing, -1 where it falls through zero from `before` to `after`,
// or 0: only a fall counts, as for ida's root finding. A function that is
// zero when the step begins falls when it ends below zero (a contact that
// begins at the very start).
bool Fired(const std::vector<double>& before, const std::vector<double>& after, std::vector<int>& fired) {
    bool any = false;
    for (size_t k = 0; k < before.size(); ++k) {
        const bool falls = (before[k] > 0.0 && after[k] <= 0.0) || (before[k] == 0.0 && after[k] < 0.0);
        fired[k] = falls ? -1 : 0;
        any = any || falls;
    }
    return any;
}

// The solution between steps: a parabola through the last three points, or
// a line through the last two.
struct History {
    double t0 = 0.0, t1 = 0.0, t2 = 0.0;
    const std::vector<double>*y0 = nullptr, *y1 = nullptr, *y2 = nullptr;
    bool parabola = false;

    void At(double t, std::vector<double>& y, std::vector<double>& yp) const {
        const size_t n = y1->size();
        y.resize(n);
        yp.resize(n);
        if (!parabola) {
            const double w = (t - t1) / (t2 - t1);
            for (size_t i = 0; i < n; ++i) {
                y[i] = (*y1)[i] + w * ((*y2)[i] - (*y1)[i]);
                yp[i] = ((*y2)[i] - (*y1)[i]) / (t2 - t1);
            }
            return;
        }
        const double d0 = (t0 - t1) * (t0 - t2), d1 = (t1 - t0) * (t1 - t2), d2 = (t2 - t0) * (t2 - t1);
        const double l0 = (t - t1) * (t - t2) / d0, l1 = (t - t0) * (t - t2) / d1, l2 = (t - t0) * (t - t1) / d2;
        const double m0 = (2.0 * t - t1 - t2) / d0, m1 = (2.0 * t - t0 - t2) / d1, m2 = (2.0 * t - t0 - t1) / d2;
        for (size_t i = 0; i < n; ++i) {
            y[i] = l0 * (*y0)[i] + l1 * (*y1)[i] + l2 * (*y2)[i];
            yp[i] = m0 * (*y0)[i] + m1 * (*y1)[i] + m2 * (*y2)[i];
        }
    }
};

class FixedStep : public Integrator {
public:
    FixedStep(Method method, Network& network, Session& session)
        : method_(method), network_(network), session_(session), solver_(network), sampler_(network) {}

    SolverStats Run(const Settings& settings, Observer& observer) override;

private:
    Method method_;
    Network& network_;
    Session& session_;
    ImplicitSolver solver_;
    ImplicitSolver sampler_; // the samples' own, so that none of their work counts as the solver's
};

SolverStats FixedStep::Run(const Settings& s, Observer& observer) {
    const auto started = std::chrono::steady_clock::now();
    const long stepCalls = session_.StepCalls();
    const long residuals = solver_.Residuals(), jacobians = solver_.Jacobians();
    const long iterations = solver_.Iterations(), factorizations = solver_.Factorizations();
    const long sampleResiduals = sampler_.Residuals();
    long sampleCalls = 0;
    SolverStats stats;

    const StepPlan plan = PlanSteps(s);
    const Timeline line(network_, s.start, plan.stop);
    const double end = line.End(), near = line.Near(), h = plan.step;
    EventLog log(stats, line);
    const size_t n = static_cast<size_t>(network_.Size());
    std::vector<double> y = network_.Initial(), yp(n, 0.0), yNew, ypNew, yPrev, g, ys, yps;
    {
        std::vector<ModeChange> modes;
        stats.modeChanges += solver_.Start(s.start, line.ProjectStep(), line.DeriveStep(s.start, h), y, yp, &modes);
        log.Add(s.start, "start", std::move(modes));
        network_.NoteMovedStates(y, stats.warnings);
    }

    std::vector<double> outputs, powers;
    std::vector<EnergyAccount>& energies = network_.Energies();
    std::vector<double> q(energies.size(), 0.0), qPrev;
    long nextSample = 0;
    auto sampleHere = [&](double t, double upTo) {
        for (; nextSample < plan.Samples() && plan.SampleTime(nextSample) <= upTo; ++nextSample) {
            const long calls = session_.StepCalls();
            network_.Observe(t, y.data(), yp.data(), outputs);
            observer.OnSample({plan.SampleTime(nextSample), y, outputs});
            ++stats.samples;
            sampleCalls += session_.StepCalls() - calls;
        }
    };
    observer.OnStep(s.start, y);
    sampleHere(s.start, s.start + near);

    const size_t crossings = static_cast<size_t>(network_.CrossingCount());
    std::vector<double> before(crossings), after(crossings);
    std::vector<int> fired(crossings);
    bool restart = true;
    double t = s.start, tPrev = s.start, hPrev = h, lastEvent = s.start;
    long k = 0; // the step grid: start + k*h
    while (t < end) {
        const size_t next = line.After(t);
        const bool haveEvent = next < line.Events().size();
        while (s.start + static_cast<double>(k + 1) * h <= t + near) ++k;
        double target = std::min(s.start + static_cast<double>(k + 1) * h, end);
        const bool toEvent = haveEvent && line.Events()[next].first <= target + near;
        if (toEvent) target = line.Events()[next].first;
        if (target >= end - near) target = end;
        const double hn = target - t;
        // A step that lands on a breakpoint sees the inputs before it (the
        // event that follows takes those after it): its equations are
        // evaluated a hair's breadth earlier.
        const double at = toEvent ? std::nextafter(target, t) : target;

        bool euler = method_ == Method::Euler || restart;
        double a = 1.0 / hn, b = 0.0;
        g.clear();
        if (!euler) {
            const double w = hn / hPrev;
            a = (1.0 + 2.0 * w) / ((1.0 + w) * hn);
            b = w * w / ((1.0 + w) * hn);
            g.resize(n);
            for (size_t i = 0; i < n; ++i) g[i] = b * (y[i] - yPrev[i]);
        }
        if (crossings > 0) network_.Crossings(t, y.data(), yp.data(), before.data());
        solver_.Solve(at, y, a, g, yNew, ypNew);
        restart = false;
        if (crossings > 0) {
            network_.Crossings(at, yNew.data(), ypNew.data(), after.data());
            const double storedOld = network_.Stored(at, yNew.data()); // in the modes of the step
            if (Fired(before, after, fired) && network_.Settle(at, yNew.data(), ypNew.data(), fired.data())) {
                ++stats.stateEvents;
                ++stats.modeChanges;
                euler = restart = true;
                a = 1.0 / hn;
                std::vector<ModeChange> modes = network_.ModeChanges();
                for (int round = 0;; ++round) {
                    solver_.Solve(at, y, a, {}, yNew, ypNew);
                    if (!network_.Settle(at, yNew.data(), ypNew.data(), nullptr)) break;
                    ++stats.modeChanges;
                    for (ModeChange& m : network_.ModeChanges()) {
                        m.round = round + 1;
                        modes.push_back(std::move(m));
                    }
                    if (round == 50)
                        throw SimError("at t = " + TimeText(target) + " the modes do not settle (last: " +
                                       network_.ModeReport() + ")");
                }
                log.Add(target, "crossing", std::move(modes));
                // What the change of mode took from the stored energy at
                // once (a contact that ends with its spring compressed),
                // seen as the step taken in the old modes against the one
                // taken again in the new.
                stats.eventEnergy += storedOld - network_.Stored(at, yNew.data());
            }
        }
        network_.Powers(at, yNew.data(), ypNew.data(), powers);
        if (euler) {
            qPrev = q;
            for (size_t e = 0; e < q.size(); ++e) q[e] += hn * powers[e];
        } else {
            for (size_t e = 0; e < q.size(); ++e) {
                const double qNext = q[e] + (powers[e] + b * (q[e] - qPrev[e])) / a;
                qPrev[e] = q[e];
                q[e] = qNext;
            }
        }

        ++stats.steps;
        if (stats.steps > s.maxSteps) CheckStepLimit(stats.steps, s.maxSteps, target, hn, "");
        observer.OnStep(target, yNew);

        // Samples inside the step, from the interpolation; one at its end
        // where an event happens there shows the state after.
        const History history{tPrev, t, target, &yPrev, &y, &yNew, !euler && !yPrev.empty()};
        const bool exact = network_.ExactOnInterpolant();
        const double upTo = toEvent ? target - near : target + (target == end ? near : 0.0);
        for (; nextSample < plan.Samples() && plan.SampleTime(nextSample) <= upTo; ++nextSample) {
            const double ts = std::min(plan.SampleTime(nextSample), target);
            const long calls = session_.StepCalls();
            if (ts == target) {
                ys = yNew;
                yps = ypNew;
            } else {
                history.At(ts, ys, yps);
                if (!exact) {
                    // The algebraic unknowns start from the end of the step.
                    for (size_t i = 0; i < n; ++i)
                        if (network_.Kinds()[i] == UnknownKind::Algebraic) ys[i] = yNew[i];
                    ConsistentBetween(sampler_, line, ts, lastEvent, hn, ys, yps);
                    ++stats.samplesMadeConsistent;
                }
            }
            network_.Observe(ts, ys.data(), yps.data(), outputs);
            observer.OnSample({plan.SampleTime(nextSample), ys, outputs});
            ++stats.samples;
            sampleCalls += session_.StepCalls() - calls;
        }

        yPrev.swap(y);
        y.swap(yNew);
        yp.swap(ypNew);
        tPrev = t;
        t = target;
        hPrev = hn;
        if (restart) lastEvent = t;

        if (toEvent) {
            // The inputs after every breakpoint of the event, at its last.
            ++stats.timeEvents;
            const double storedBefore = network_.Stored(t, y.data());
            t = line.Events()[next].last;
            solver_.Consistent(t, line.ProjectStep(), line.DeriveStep(t, h), Side::Forward, y, yp);
            std::vector<ModeChange> modes;
            stats.modeChanges +=
                solver_.SettleModes(t, line.ProjectStep(), line.DeriveStep(t, h), y, yp, nullptr, &modes);
            stats.eventEnergy += storedBefore - network_.Stored(t, y.data());
            log.Add(t, "breakpoint", std::move(modes));
            restart = true;
            lastEvent = t;
            observer.OnStep(t, y);
            sampleHere(t, t + near);
        }
    }
    for (size_t e = 0; e < q.size(); ++e) energies[e].value = q[e];

    stats.residuals = solver_.Residuals() - residuals;
    stats.jacobians = solver_.Jacobians() - jacobians;
    stats.newtonIterations = solver_.Iterations() - iterations;
    stats.factorizations = solver_.Factorizations() - factorizations;
    stats.stepCalls = session_.StepCalls() - stepCalls - sampleCalls;
    stats.sampleResiduals = sampler_.Residuals() - sampleResiduals;
    stats.sampleStepCalls = sampleCalls;
    solver_.NoteFloating(solver_.Factor(), stats.warnings);
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return stats;
}

} // namespace

std::unique_ptr<Integrator> MakeFixedStep(Method method, Network& network, Session& session) {
    return std::make_unique<FixedStep>(method, network, session);
}

} // namespace dvx::sim

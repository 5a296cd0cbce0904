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
#include "hostsim/sim/integrators/sampling.h"
#include "hostsim/sim/session/session.h"

#include <algorithm>
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
    struct Pass;
    struct Step;
    void Start(Pass& run);
    Step Aim(Pass& run) const;
    void Solve(Pass& run, Step& step);
    void SettleCrossing(Pass& run, Step& step);
    void IntegrateEnergies(Pass& run, const Step& step);
    void SampleInside(Pass& run, const Step& step);
    void Advance(Pass& run, const Step& step);
    void TimeEvent(Pass& run, const Step& step);
    SolverStats Close(Pass& run);

    Method method_;
    Network& network_;
    Session& session_;
    ImplicitSolver solver_;
    ImplicitSolver sampler_; // the samples' own, so that none of their work counts as the solver's
};

struct FixedStep::Pass {
    Pass(FixedStep& f, const Settings& settings, Observer& watcher, const StepPlan& steps, const Timeline& timeline)
        : s(settings), observer(watcher), plan(steps), line(timeline), h(steps.step), log(stats, timeline),
          samples(steps, f.network_, f.session_, watcher, stats),
          account({f.solver_.Residuals(), f.solver_.Jacobians(), f.solver_.Iterations(), f.solver_.Factorizations()},
                  f.sampler_, f.session_),
          n(static_cast<size_t>(f.network_.Size())), q(settings.energy ? f.network_.Energies().size() : 0, 0.0),
          before(static_cast<size_t>(f.network_.CrossingCount())), after(before.size()), fired(before.size()) {}

    const Settings& s;
    Observer& observer;
    const StepPlan& plan;
    const Timeline& line;
    const double h;
    SolverStats stats;
    EventLog log;
    SampleFeed samples;
    WorkAccount account;
    size_t n;
    std::vector<double> y, yp, yNew, ypNew, yPrev, g, powers;
    std::vector<double> q, qPrev; // the energies, integrated with the step's own formula; none when off
    std::vector<double> before, after; // the crossing functions at both ends of a step
    std::vector<int> fired;
    bool restart = true; // the next step is an Euler step
    double t = 0.0, tPrev = 0.0, hPrev = 0.0, lastEvent = 0.0;
    long k = 0; // the step grid: start + k*h
};

// Where one step goes, and its formula.
struct FixedStep::Step {
    size_t next = 0;
    bool toEvent = false; // it lands on a breakpoint
    double target = 0.0, hn = 0.0;
    double at = 0.0; // where its equations are evaluated
    bool euler = true;
    double a = 0.0, b = 0.0; // y' = a*(y - y_n) - g, g = b*(y_n - y_{n-1})
};

SolverStats FixedStep::Run(const Settings& s, Observer& observer) {
    const StepPlan plan = PlanSteps(s);
    const Timeline line(network_, s.start, plan.stop);
    Pass run(*this, s, observer, plan, line);
    Start(run);
    while (run.t < line.End()) {
        Step step = Aim(run);
        Solve(run, step);
        IntegrateEnergies(run, step);
        ++run.stats.steps;
        if (run.stats.steps > s.maxSteps) CheckStepLimit(run.stats.steps, s.maxSteps, step.target, step.hn, "");
        run.observer.OnStep(step.target, run.yNew);
        SampleInside(run, step);
        Advance(run, step);
        if (step.toEvent) TimeEvent(run, step);
    }
    return Close(run);
}

void FixedStep::Start(Pass& run) {
    const Settings& s = run.s;
    run.y = network_.Initial();
    run.yp.assign(run.n, 0.0);
    std::vector<ModeChange> modes;
    run.stats.modeChanges +=
        solver_.Start(s.start, run.line.ProjectStep(), run.line.DeriveStep(s.start, run.h), run.y, run.yp, &modes);
    run.log.Add(s.start, "start", std::move(modes));
    network_.NoteMovedStates(run.y, run.stats.warnings);
    run.observer.OnStep(s.start, run.y);
    run.samples.Here(s.start, s.start + run.line.Near(), run.y, run.yp);
    run.t = run.tPrev = run.lastEvent = s.start;
    run.hPrev = run.h;
}

// The next point of the step grid, or the breakpoint or end before it,
// and BDF2's coefficients for a step of that length (Euler's after a start
// or an event).
FixedStep::Step FixedStep::Aim(Pass& run) const {
    const double near = run.line.Near(), end = run.line.End(), start = run.s.start, h = run.h;
    Step step;
    step.next = run.line.After(run.t);
    const bool haveEvent = step.next < run.line.Events().size();
    while (start + static_cast<double>(run.k + 1) * h <= run.t + near) ++run.k;
    double target = std::min(start + static_cast<double>(run.k + 1) * h, end);
    step.toEvent = haveEvent && run.line.Events()[step.next].first <= target + near;
    if (step.toEvent) target = run.line.Events()[step.next].first;
    if (target >= end - near) target = end;
    step.target = target;
    step.hn = target - run.t;
    // A step that lands on a breakpoint sees the inputs before it (the
    // event that follows takes those after it): its equations are
    // evaluated a hair's breadth earlier.
    step.at = step.toEvent ? std::nextafter(target, run.t) : target;
    step.euler = method_ == Method::Euler || run.restart;
    step.a = 1.0 / step.hn;
    run.g.clear();
    if (!step.euler) {
        const double w = step.hn / run.hPrev;
        step.a = (1.0 + 2.0 * w) / ((1.0 + w) * step.hn);
        step.b = w * w / ((1.0 + w) * step.hn);
        run.g.resize(run.n);
        for (size_t i = 0; i < run.n; ++i) run.g[i] = step.b * (run.y[i] - run.yPrev[i]);
    }
    return step;
}

// The step's Newton solve, taken again in the new modes where a crossing
// function falls through zero on the way.
void FixedStep::Solve(Pass& run, Step& step) {
    if (!run.before.empty()) network_.Crossings(run.t, run.y.data(), run.yp.data(), run.before.data());
    solver_.Solve(step.at, run.y, step.a, run.g, run.yNew, run.ypNew);
    run.restart = false;
    if (!run.before.empty()) SettleCrossing(run, step);
}

void FixedStep::SettleCrossing(Pass& run, Step& step) {
    const double at = step.at;
    network_.Crossings(at, run.yNew.data(), run.ypNew.data(), run.after.data());
    const double storedOld = network_.Stored(at, run.yNew.data()); // in the modes of the step
    if (!Fired(run.before, run.after, run.fired) || !network_.Settle(at, run.yNew.data(), run.ypNew.data(), run.fired.data()))
        return;
    ++run.stats.stateEvents;
    ++run.stats.modeChanges;
    step.euler = run.restart = true;
    step.a = 1.0 / step.hn;
    std::vector<ModeChange> modes = network_.ModeChanges();
    for (int round = 0;; ++round) {
        solver_.Solve(at, run.y, step.a, {}, run.yNew, run.ypNew);
        if (!network_.Settle(at, run.yNew.data(), run.ypNew.data(), nullptr)) break;
        ++run.stats.modeChanges;
        for (ModeChange& m : network_.ModeChanges()) {
            m.round = round + 1;
            modes.push_back(std::move(m));
        }
        if (round == 50)
            throw SimError("at t = " + TimeText(step.target) + " the modes do not settle (last: " +
                           network_.ModeReport() + ")");
    }
    run.log.Add(step.target, "crossing", std::move(modes));
    // What the change of mode took from the stored energy at once (a
    // contact that ends with its spring compressed), seen as the step taken
    // in the old modes against the one taken again in the new.
    run.stats.eventEnergy += storedOld - network_.Stored(at, run.yNew.data());
}

void FixedStep::IntegrateEnergies(Pass& run, const Step& step) {
    if (run.q.empty()) return;
    network_.Powers(step.at, run.yNew.data(), run.ypNew.data(), run.powers);
    std::vector<double>& q = run.q;
    if (step.euler) {
        run.qPrev = q;
        for (size_t e = 0; e < q.size(); ++e) q[e] += step.hn * run.powers[e];
        return;
    }
    for (size_t e = 0; e < q.size(); ++e) {
        const double qNext = q[e] + (run.powers[e] + step.b * (q[e] - run.qPrev[e])) / step.a;
        run.qPrev[e] = q[e];
        q[e] = qNext;
    }
}

// Samples inside the step, from the interpolation; one at its end where an
// event happens there shows the state after.
void FixedStep::SampleInside(Pass& run, const Step& step) {
    const double target = step.target, near = run.line.Near();
    const History history{run.tPrev, run.t, target, &run.yPrev, &run.y, &run.yNew, !step.euler && !run.yPrev.empty()};
    const bool exact = network_.ExactOnInterpolant();
    const double upTo = step.toEvent ? target - near : target + (target == run.line.End() ? near : 0.0);
    run.samples.Between(upTo, [&](double sampleTime, std::vector<double>& ys, std::vector<double>& yps) {
        const double ts = std::min(sampleTime, target);
        if (ts == target) {
            ys = run.yNew;
            yps = run.ypNew;
            return ts;
        }
        history.At(ts, ys, yps);
        if (!exact) {
            // The algebraic unknowns start from the end of the step.
            for (size_t i = 0; i < run.n; ++i)
                if (network_.Kinds()[i] == UnknownKind::Algebraic) ys[i] = run.yNew[i];
            ConsistentBetween(sampler_, run.line, ts, run.lastEvent, step.hn, ys, yps);
            ++run.stats.samplesMadeConsistent;
        }
        return ts;
    });
}

void FixedStep::Advance(Pass& run, const Step& step) {
    run.yPrev.swap(run.y);
    run.y.swap(run.yNew);
    run.yp.swap(run.ypNew);
    run.tPrev = run.t;
    run.t = step.target;
    run.hPrev = step.hn;
    if (run.restart) run.lastEvent = run.t;
}

// The inputs after every breakpoint of the event, at its last.
void FixedStep::TimeEvent(Pass& run, const Step& step) {
    ++run.stats.timeEvents;
    const double storedBefore = network_.Stored(run.t, run.y.data());
    run.t = run.line.Events()[step.next].last;
    const double t = run.t;
    solver_.Consistent(t, run.line.ProjectStep(), run.line.DeriveStep(t, run.h), Side::Forward, run.y, run.yp);
    std::vector<ModeChange> modes;
    run.stats.modeChanges +=
        solver_.SettleModes(t, run.line.ProjectStep(), run.line.DeriveStep(t, run.h), run.y, run.yp, nullptr, &modes);
    run.stats.eventEnergy += storedBefore - network_.Stored(t, run.y.data());
    run.log.Add(t, "breakpoint", std::move(modes));
    run.restart = true;
    run.lastEvent = t;
    run.observer.OnStep(t, run.y);
    run.samples.Here(t, t + run.line.Near(), run.y, run.yp);
}

SolverStats FixedStep::Close(Pass& run) {
    std::vector<EnergyAccount>& energies = network_.Energies();
    for (size_t e = 0; e < energies.size(); ++e) energies[e].value = e < run.q.size() ? run.q[e] : 0.0;
    run.account.Finish(run.stats,
                       {solver_.Residuals(), solver_.Jacobians(), solver_.Iterations(), solver_.Factorizations()},
                       run.samples.Calls());
    solver_.NoteFloating(solver_.Factor(), run.stats.warnings);
    return run.stats;
}

} // namespace

std::unique_ptr<Integrator> MakeFixedStep(Method method, Network& network, Session& session) {
    return std::make_unique<FixedStep>(method, network, session);
}

} // namespace dvx::sim

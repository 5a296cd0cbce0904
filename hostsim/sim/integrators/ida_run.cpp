// One run of IDA, step by named step: the consistent start, IDA's steps one
// at a time with the samples and energies inside each, a time event at
// every breakpoint, a state event at every zero crossing that changes a
// mode, and the end.
#include "hostsim/sim/integrators/ida.h"

#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/integrators/energy_quadrature.h"
#include "hostsim/sim/integrators/events.h"
#include "hostsim/sim/integrators/sampling.h"
#include "hostsim/sim/session/session.h"

#include <cmath>
#include <limits>

namespace dvx::sim {

struct Ida::Pass {
    Pass(Ida& ida, const Settings& settings, Observer& watcher, const StepPlan& steps, const Timeline& timeline)
        : s(settings), observer(watcher), plan(steps), line(timeline), log(stats, timeline),
          samples(steps, ida.network_, ida.session_, watcher, stats), energy(ida.network_, settings.energy),
          account({ida.solver_.Residuals(), ida.solver_.Jacobians(), ida.solver_.Iterations(),
                   ida.solver_.Factorizations() + ida.factor_.Factorizations()},
                  ida.sampler_, ida.session_),
          fired(static_cast<size_t>(ida.network_.CrossingCount())) {}

    const Settings& s;
    Observer& observer;
    const StepPlan& plan;
    const Timeline& line;
    SolverStats stats;
    EventLog log;
    SampleFeed samples;
    EnergyQuadrature energy;
    WorkAccount account;
    std::vector<double> y, yp, yps;
    std::vector<int> fired;
    double t = 0.0;          // the last solution point
    double integrated = 0.0; // energies are integrated up to here
    double stopSet = std::numeric_limits<double>::quiet_NaN();
    long stalled = 0;
    long sampleCallsAtEnd = 0; // the step calls of making the end consistent
};

// What one IDA step reached.
struct Ida::Step {
    size_t next = 0;     // the next event of the timeline
    bool toEvent = false; // the step was set to stop at it
    bool atStop = false, atRoot = false;
    double reached = 0.0, internal = 0.0;
    double h = 0.0;    // the step taken
    double pace = 0.0; // the scale of the steps around here
};

SolverStats Ida::Run(const Settings& s, Observer& observer) {
    residuals_ = jacobians_ = 0;
    const StepPlan plan = PlanSteps(s);
    const Timeline line(network_, s.start, plan.stop);
    line_ = &line;
    Pass run(*this, s, observer, plan, line);
    Start(run);
    while (run.t < line.End()) {
        const Step step = Advance(run);
        if (step.atStop && !step.toEvent) {
            Finish(run, step);
            break;
        }
        if (step.atStop)
            TimeEvent(run, step);
        else if (step.atRoot)
            StateEvent(run, step);
    }
    return Close(run);
}

// The consistent start, in the modes it calls for, its samples, and IDA
// set up from it.
void Ida::Start(Pass& run) {
    const Settings& s = run.s;
    n_ = static_cast<size_t>(network_.Size());
    run.y = network_.Initial();
    run.yp.assign(n_, 0.0);
    std::vector<ModeChange> modes;
    run.stats.modeChanges += solver_.Start(s.start, run.line.ProjectStep(), run.line.DeriveStep(s.start, 0.0), run.y,
                                           run.yp, &modes);
    run.log.Add(s.start, "start", std::move(modes));
    network_.NoteMovedStates(run.y, run.stats.warnings);
    lastEvent_ = s.start;
    run.observer.OnStep(s.start, run.y);
    run.samples.Here(s.start, s.start + run.line.Near(), run.y, run.yp);

    ida_ = std::make_unique<IdaObjects>(n_, network_.Pattern(), factor_);
    ida_->Load(ida_->y, run.y);
    ida_->Load(ida_->yp, run.yp);
    Setup(s, s.start);
    run.t = run.integrated = s.start;
}

// One step of IDA towards the next event or the end, with its checks, the
// samples inside it and the energies along it.
Ida::Step Ida::Advance(Pass& run) {
    IdaObjects& o = *ida_;
    Step step;
    step.next = run.line.After(run.t);
    step.toEvent = step.next < run.line.Events().size();
    const double stop = step.toEvent ? run.line.Events()[step.next].first : run.line.End();
    if (!(stop == run.stopSet)) {
        Check(IDASetStopTime(o.mem, stop), run.t, "IDASetStopTime");
        run.stopSet = stop;
    }
    realtype reached = run.t;
    message_.clear();
    const int flag = IDASolve(o.mem, stop, &reached, o.y, o.yp, IDA_ONE_STEP);
    Check(flag, reached, "IDASolve");
    exact_ = network_.ExactOnInterpolant();
    step.atStop = flag == IDA_TSTOP_RETURN;
    step.atRoot = flag == IDA_ROOT_RETURN;
    realtype h = 0.0, coming = 0.0, internal = reached;
    IDAGetLastStep(o.mem, &h);
    IDAGetCurrentStep(o.mem, &coming);
    // The scale of the short steps after an event: a last step cut short
    // to land on a breakpoint says little of the run's pace.
    step.h = h;
    step.pace = std::max(h, coming);
    IDAGetCurrentTime(o.mem, &internal);
    step.reached = reached;
    step.internal = internal;
    CheckProgress(run, step);

    o.Store(o.y, run.y);
    o.Store(o.yp, run.yp);
    run.t = reached;
    if (!step.atStop && !step.atRoot) run.observer.OnStep(run.t, run.y);
    // Grid points inside the step come from the interpolation; one at the
    // step's end where an event happens there shows the state after.
    SampleInside(run, step.atStop || step.atRoot ? reached - run.line.Near() : reached);
    Integrate(run, reached);
    return step;
}

// The step limit, and steps shrunk to the time's own resolution.
void Ida::CheckProgress(Pass& run, const Step& step) {
    long steps = 0;
    IDAGetNumSteps(ida_->mem, &steps);
    if (run.stats.steps + steps > run.s.maxSteps)
        CheckStepLimit(run.stats.steps + steps, run.s.maxSteps, step.reached, step.h, Limiting());
    const double resolution =
        16.0 * std::numeric_limits<double>::epsilon() * std::max(std::abs(step.reached), run.line.Span());
    run.stalled = step.h <= resolution ? run.stalled + 1 : 0;
    if (run.stalled > kStalledSteps)
        throw SimError("at t = " + TimeText(step.reached) + " IDA's steps have shrunk to the time's own resolution (" +
                       Limiting() + "): the tolerances cannot be met there; loosen rtol and atol");
}

void Ida::SampleInside(Pass& run, double upTo) {
    run.samples.Between(upTo, [&](double ts, std::vector<double>& ys, std::vector<double>& yps) {
        Interpolate(sampler_, ts, true, ys, yps);
        if (!exact_) ++run.stats.samplesMadeConsistent;
        return ts;
    });
}

void Ida::Integrate(Pass& run, double to) {
    run.energy.Add(run.integrated, to,
                   [&](double at, std::vector<double>& into) { Interpolate(solver_, at, false, into, run.yps); });
    run.integrated = to;
}

// The stop time: the last samples at IDA's end point, made consistent to
// rounding (IDA meets the constraints to its Newton test only).
void Ida::Finish(Pass& run, const Step& step) {
    run.t = run.line.End();
    run.observer.OnStep(run.t, run.y);
    if (!exact_) {
        const long calls = session_.StepCalls();
        ConsistentBetween(sampler_, run.line, run.t, lastEvent_, step.h, run.y, run.yp);
        ++run.stats.samplesMadeConsistent;
        run.sampleCallsAtEnd = session_.StepCalls() - calls;
    }
    run.samples.Here(run.t, run.line.End() + run.line.Near(), run.y, run.yp);
}

// A breakpoint: the inputs after every breakpoint of the event, at its last.
void Ida::TimeEvent(Pass& run, const Step& step) {
    const double storedBefore = network_.Stored(run.t, run.y.data());
    ++run.stats.timeEvents;
    run.t = run.line.Events()[step.next].last;
    const double t = run.t;
    solver_.Consistent(t, run.line.ProjectStep(), run.line.DeriveStep(t, step.pace), Side::Forward, run.y, run.yp);
    std::vector<ModeChange> modes;
    run.stats.modeChanges += solver_.SettleModes(t, run.line.ProjectStep(), run.line.DeriveStep(t, step.pace), run.y,
                                                 run.yp, nullptr, &modes);
    Restart(run, "breakpoint", std::move(modes), storedBefore);
}

// A zero crossing: the modes settle; where none changed, IDA goes on.
void Ida::StateEvent(Pass& run, const Step& step) {
    const double storedBefore = network_.Stored(run.t, run.y.data());
    Check(IDAGetRootInfo(ida_->mem, run.fired.data()), run.t, "IDAGetRootInfo");
    ++run.stats.stateEvents;
    std::vector<ModeChange> modes;
    const long changes = solver_.SettleModes(run.t, run.line.ProjectStep(), run.line.DeriveStep(run.t, step.pace),
                                             run.y, run.yp, run.fired.data(), &modes);
    run.stats.modeChanges += changes;
    if (changes > 0)
        Restart(run, "crossing", std::move(modes), storedBefore);
    else
        PassRoot(run, step);
}

// IDA restarted from the consistent state after an event.
void Ida::Restart(Pass& run, const char* kind, std::vector<ModeChange> modes, double storedBefore) {
    IdaObjects& o = *ida_;
    run.stats.eventEnergy += storedBefore - network_.Stored(run.t, run.y.data());
    run.log.Add(run.t, kind, std::move(modes));
    Accumulate(run.stats);
    o.Load(o.y, run.y);
    o.Load(o.yp, run.yp);
    Check(IDAReInit(o.mem, run.t, o.y, o.yp), run.t, "IDAReInit");
    lastEvent_ = run.t;
    run.observer.OnStep(run.t, run.y);
    run.samples.Here(run.t, run.t + run.line.Near(), run.y, run.yp);
}

// A root that changed nothing: IDA goes on from the end of its step, whose
// stretch after the root is sampled and integrated now, while the
// interpolation still covers it.
void Ida::PassRoot(Pass& run, const Step& step) {
    run.observer.OnStep(run.t, run.y);
    SampleInside(run, step.internal);
    run.energy.Add(run.integrated, step.internal,
                   [&](double at, std::vector<double>& into) { Interpolate(solver_, at, false, into, run.yps); });
    run.integrated = std::max(run.integrated, static_cast<double>(step.internal));
    run.t = std::max(run.t, static_cast<double>(step.internal));
}

// The energies into the network's accounts, and the run's statistics.
SolverStats Ida::Close(Pass& run) {
    std::vector<EnergyAccount>& accounts = network_.Energies();
    const std::vector<double>& values = run.energy.Values();
    for (size_t k = 0; k < accounts.size(); ++k) accounts[k].value = k < values.size() ? values[k] : 0.0;
    Accumulate(run.stats);
    run.account.Finish(run.stats,
                       {residuals_ + solver_.Residuals(), jacobians_ + solver_.Jacobians(), solver_.Iterations(),
                        solver_.Factorizations() + factor_.Factorizations()},
                       run.samples.Calls() + run.sampleCallsAtEnd);
    solver_.NoteFloating(factor_, run.stats.warnings);
    line_ = nullptr;
    return run.stats;
}

} // namespace dvx::sim

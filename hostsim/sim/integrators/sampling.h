// What every integrator does around its own steps: it hands the points of
// the output grid to the observer (the component's step calls they cost
// counted apart from the solver's), and at the end it reports the work of
// the run as the difference of the counters from its start.
#pragma once

#include "hostsim/sim/integrators/implicit.h"
#include "hostsim/sim/integrators/integrator.h"

#include <chrono>
#include <functional>
#include <vector>

namespace dvx::sim {

class SampleFeed {
public:
    SampleFeed(const StepPlan& plan, Network& network, Session& session, Observer& observer, SolverStats& stats)
        : plan_(plan), network_(network), session_(session), observer_(observer), stats_(stats) {}

    // Every sample due at or before `upTo`, all from the point (t, y, yp)
    // itself: the start, the state after an event, the end.
    void Here(double t, double upTo, const std::vector<double>& y, const std::vector<double>& yp);

    // Every sample due at or before `upTo`, each from `state`, which fills
    // the state at the sample's time (from an interpolation) and returns the
    // time at which it holds.
    using State = std::function<double(double sampleTime, std::vector<double>& y, std::vector<double>& yp)>;
    void Between(double upTo, const State& state);

    // The component's step calls the samples took.
    long Calls() const { return calls_; }

private:
    void Emit(double sampleTime, double at, const std::vector<double>& y, const std::vector<double>& yp);

    const StepPlan& plan_;
    Network& network_;
    Session& session_;
    Observer& observer_;
    SolverStats& stats_;
    long next_ = 0;
    long calls_ = 0;
    std::vector<double> outputs_, y_, yp_;
};

// The solvers' work as counters that only grow.
struct WorkCounts {
    long residuals = 0, jacobians = 0, iterations = 0, factorizations = 0;
};

class WorkAccount {
public:
    // `solver` counts at the start of the run; the sampler's and the
    // session's are read here.
    WorkAccount(const WorkCounts& solver, const ImplicitSolver& sampler, const Session& session);

    // The run's statistics from the counters now: residuals, Jacobians,
    // Newton iterations and factorisations added to what the integrator
    // counted itself, the component's step calls apart from the samples',
    // the samples' residuals, and the wall time.
    void Finish(SolverStats& stats, const WorkCounts& solver, long sampleCalls) const;

private:
    std::chrono::steady_clock::time_point started_;
    WorkCounts solver_;
    const ImplicitSolver& sampler_;
    const Session& session_;
    long sampleResiduals_;
    long stepCalls_;
};

} // namespace dvx::sim

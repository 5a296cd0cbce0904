// The integrators of the network: SUNDIALS IDA with error control (ida), and
// backward Euler and BDF2 at a fixed step. They see the network only through
// its residual, its Jacobian, its events and its observations.
#pragma once

#include "hostsim/sim/model/model.h"
#include "hostsim/sim/network/network.h"

#include <memory>
#include <string>
#include <vector>

namespace dvx::sim {

// A point of the output grid as the observers see it.
struct Sample {
    double t = 0.0;
    const std::vector<double>& y;
    // The recorded instances' outputs (catalogue order, instance after
    // instance), read through call type 6.
    const std::vector<double>& outputs;
};

class Observer {
public:
    virtual ~Observer() = default;
    // After the consistent start, after every accepted step and after every
    // event. No outputs are read for it.
    virtual void OnStep(double t, const std::vector<double>& y) = 0;
    // At every point of the output grid, the start included.
    virtual void OnSample(const Sample& s) = 0;
};

// An event of the run: the consistent start, a restart at a waveform
// breakpoint or at a zero crossing, and the modes it set.
struct EventRecord {
    double t = 0.0;
    std::string kind; // "start", "breakpoint" or "crossing"
    std::vector<ModeChange> modes;
    // "crossing: clutch stuck; clutch slipping forward": the rounds of
    // settling apart by "; ", the units of one round by ", ".
    std::string Text() const;
};

struct SolverStats {
    long steps = 0;          // accepted steps
    long residuals = 0;      // residual evaluations
    long jacobians = 0;      // Jacobian evaluations
    long factorizations = 0; // sparse LU factorisations
    long errorTestFailures = 0;
    long newtonFailures = 0; // convergence failures of the Newton iteration
    long newtonIterations = 0;
    long timeEvents = 0;  // restarts at waveform breakpoints
    long stateEvents = 0; // restarts at zero crossings
    long modeChanges = 0;
    long stepCalls = 0;   // the component's call type 3
    double seconds = 0.0; // wall time of the integration
    // What the samples took beside the solver's own work: samples made
    // consistent between steps, their residuals and the component's step
    // calls for them. None of it changes the solver's steps.
    long samples = 0;
    long samplesMadeConsistent = 0;
    long sampleResiduals = 0;
    long sampleStepCalls = 0;
    // The first kKeptEvents events in time order; eventCount counts them all.
    std::vector<EventRecord> events;
    long eventCount = 0;
    // States that the consistent start moved away from the values the
    // model gives them (a spring's torque0 on a node without inertia).
    std::vector<std::string> warnings;
    // Energy the stored energy lost at events, where consistent values
    // moved the state at once (an impulse when a clutch locks, a contact
    // that ends with its spring still compressed) [J].
    double eventEnergy = 0.0;
};

inline constexpr size_t kKeptEvents = 1000;

// The output grid: start + i*interval for i = 0..intervals, and the stop
// time as a last sample where it lies off the grid; every method integrates
// to the stop time, whatever the grid. Euler and BDF2 step at `step` from
// the start, landing on every breakpoint; the grid never moves a step.
struct StepPlan {
    double step = 0.0;
    long intervals = 0;
    double start = 0.0, interval = 0.0, stop = 0.0;
    bool stopOffGrid = false;

    long Samples() const { return intervals + 1 + (stopOffGrid ? 1 : 0); }
    // The time of sample i, computed alike by every integrator.
    double SampleTime(long i) const {
        return i > intervals ? stop : start + static_cast<double>(i) * interval;
    }
};
StepPlan PlanSteps(const Settings& settings);

class Integrator {
public:
    virtual ~Integrator() = default;
    // Runs from the start to the last grid point; energies end up in the
    // network's accounts. Throws SimError.
    virtual SolverStats Run(const Settings& settings, Observer& observer) = 0;
};

std::unique_ptr<Integrator> MakeIntegrator(Method method, Network& network, Session& session);

} // namespace dvx::sim

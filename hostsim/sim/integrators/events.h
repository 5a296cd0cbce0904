// What every integrator shares about time: the run's time events (the
// breakpoints of its waveforms), the short steps that make a point
// consistent, the record of events and the guard against a run that
// would never end.
#pragma once

#include "hostsim/sim/integrators/implicit.h"
#include "hostsim/sim/integrators/integrator.h"

#include <deque>
#include <string>
#include <vector>

namespace dvx::sim {

// A time event: breakpoints closer together than the run can resolve are
// one event, taken at the last of them (the inputs after every one).
struct TimeEvent {
    double first = 0.0;
    double last = 0.0;
};

class Timeline {
public:
    // The events in (start, end] of the network's breakpoints; `end` is the
    // last grid point.
    Timeline(const Network& network, double start, double end);

    double Start() const { return start_; }
    double End() const { return end_; }
    double Span() const { return end_ - start_; }
    // Times closer than this are one time (breakpoints, a sample on an
    // event): far below any step the run takes, far above rounding.
    double Near() const { return near_; }
    const std::vector<TimeEvent>& Events() const { return events_; }
    // The first event that begins after t (Events().size() when none).
    size_t After(double t) const;
    // The next time after t where an input jumps or bends, past the end if
    // none comes before it.
    double NextBreak(double t) const;

    // The steps of consistent values: projection, and the derivatives at an
    // event (forward of t, before the next breakpoint); `stepScale` is the
    // integrator's last step (0 at the start).
    double ProjectStep() const;
    double DeriveStep(double t, double stepScale) const;

private:
    double start_, end_, near_;
    std::vector<TimeEvent> events_;
    std::vector<double> breaks_; // every breakpoint, also those after the end
};

// A point between two steps of an integrator, made consistent: the states
// as its interpolation gives them, the derivatives and algebraic unknowns
// found at the point's own time from short steps around it that stay
// within (lastEvent, next breakpoint).
void ConsistentBetween(ImplicitSolver& solver, const Timeline& line, double t, double lastEvent, double stepScale,
                       std::vector<double>& y, std::vector<double>& yp);

// The events of a run, as the summary shows them: the first kKeptEvents
// kept, all counted. Throws SimError where events come without end at one
// instant (modes that switch back and forth, a Zeno run).
class EventLog {
public:
    EventLog(SolverStats& stats, const Timeline& line) : stats_(stats), line_(line) {}
    void Add(double t, const std::string& kind, std::vector<ModeChange> modes);

private:
    SolverStats& stats_;
    const Timeline& line_;
    std::deque<double> recent_;
};

// Throws SimError once a run has taken more steps than `limit`, naming what
// it was doing; `detail` says what held the steps short.
void CheckStepLimit(long steps, long limit, double t, double h, const std::string& detail);

} // namespace dvx::sim

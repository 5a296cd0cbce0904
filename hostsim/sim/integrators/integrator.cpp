#include "hostsim/sim/integrators/integrator.h"

#include "hostsim/sim/integrators/fixed_step.h"

#include <algorithm>
#include <cmath>

namespace dvx::sim {

namespace {

// A count that floating-point division should have made whole: the nearest
// whole number when it lies within a relative 1e-9, else `otherwise`.
long WholeOr(double ratio, double otherwise) {
    const double nearest = std::round(ratio);
    if (std::abs(ratio - nearest) <= 1e-9 * std::max(1.0, ratio)) return static_cast<long>(nearest);
    return static_cast<long>(otherwise);
}

} // namespace

std::string EventRecord::Text() const {
    std::string text = kind;
    for (size_t i = 0; i < modes.size(); ++i) {
        const bool newRound = i == 0 || modes[i].round != modes[i - 1].round;
        text += i == 0 ? ": " : newRound ? "; " : ", ";
        text += modes[i].element + " " + modes[i].mode;
    }
    return text;
}

StepPlan PlanSteps(const Settings& s) {
    StepPlan plan;
    plan.step = s.step;
    plan.start = s.start;
    plan.interval = s.outputInterval;
    plan.stop = s.stop;
    const double intervals = (s.stop - s.start) / s.outputInterval;
    plan.intervals = WholeOr(intervals, std::floor(intervals));
    if (plan.intervals < 1) throw SimError("the run from start to stop is shorter than one output interval");
    const double last = plan.SampleTime(plan.intervals);
    plan.stopOffGrid = s.stop - last > 1e-9 * s.outputInterval;
    if (!plan.stopOffGrid) plan.stop = last; // the grid's own time, as the samples show it
    return plan;
}

std::unique_ptr<Integrator> MakeIntegrator(Method method, Network& network, Session& session) {
    if (method == Method::Ida) return MakeIda(network, session);
    return MakeFixedStep(method, network, session);
}

} // namespace dvx::sim

#include "hostsim/sim/integrators/events.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dvx::sim {

namespace {

// Relative to the run's span: breakpoints closer than this are one event.
constexpr double kNear = 1e-10;
// The projection's step (the time held), and the longest step that finds
// derivatives; at most this share of the integrator's last step.
constexpr double kProject = 1e-8;
constexpr double kDerive = 1e-6;
constexpr double kDeriveOfStep = 0.1;
// This many events within kChatterWindow of the span: modes that switch
// without end.
constexpr size_t kChatter = 200;
constexpr double kChatterWindow = 1e-6;

} // namespace

Timeline::Timeline(const Network& network, double start, double end) : start_(start), end_(end) {
    const double magnitude = std::max(std::abs(start), std::abs(end));
    near_ = std::max(kNear * (end - start), 64.0 * magnitude * std::numeric_limits<double>::epsilon());
    breaks_ = network.Breakpoints(start, end + (end - start));
    for (double b : breaks_) {
        if (b > end + near_) break;
        if (b <= start + near_) continue; // the start takes its inputs at the start
        if (!events_.empty() && b - events_.back().first <= near_) {
            events_.back().last = b;
        } else {
            events_.push_back({b, b});
        }
    }
    // An event at the end is the end itself.
    if (!events_.empty() && events_.back().first >= end - near_) events_.pop_back();
}

size_t Timeline::After(double t) const {
    return static_cast<size_t>(
        std::upper_bound(events_.begin(), events_.end(), t + near_,
                         [](double x, const TimeEvent& e) { return x < e.first; }) -
        events_.begin());
}

double Timeline::NextBreak(double t) const {
    const auto it = std::upper_bound(breaks_.begin(), breaks_.end(), t + near_);
    return it == breaks_.end() ? end_ + Span() : *it;
}

double Timeline::ProjectStep() const { return kProject * Span(); }

double Timeline::DeriveStep(double t, double stepScale) const {
    double h = kDerive * Span();
    if (stepScale > 0.0) h = std::min(h, kDeriveOfStep * stepScale);
    return std::min(h, 0.25 * (NextBreak(t) - t));
}

void ConsistentBetween(ImplicitSolver& solver, const Timeline& line, double t, double lastEvent, double stepScale,
                       std::vector<double>& y, std::vector<double>& yp) {
    double base = kDerive * line.Span();
    if (stepScale > 0.0) base = std::min(base, kDeriveOfStep * stepScale);
    const double back = t - lastEvent, ahead = line.NextBreak(t) - t;
    const double h = std::min(base, 0.5 * std::max(back, ahead));
    const Side side = back >= h && ahead >= h ? Side::Central : ahead >= 2.0 * h ? Side::Forward : Side::Backward;
    solver.Consistent(t, line.ProjectStep(), h, side, y, yp);
}

void EventLog::Add(double t, const std::string& kind, std::vector<ModeChange> modes) {
    ++stats_.eventCount;
    const EventRecord event{t, kind, std::move(modes)};
    if (stats_.events.size() < kKeptEvents) stats_.events.push_back(event);
    recent_.push_back(t);
    if (recent_.size() > kChatter) recent_.pop_front();
    if (recent_.size() == kChatter && t - recent_.front() <= kChatterWindow * line_.Span())
        throw SimError("at t = " + TimeText(t) + " the modes switch without end: " + std::to_string(kChatter) +
                       " events within " + FormatNumber(t - recent_.front(), 3) + " s (the last: " + event.Text() + ")");
}

void CheckStepLimit(long steps, long limit, double t, double h, const std::string& detail) {
    if (steps <= limit) return;
    throw SimError("at t = " + TimeText(t) + " the solver has taken more than " + std::to_string(limit) +
                   " steps (max_steps), the last of them " + FormatNumber(h, 3) + " s long" +
                   (detail.empty() ? std::string() : "; " + detail) +
                   ". A stiff element or a fast oscillation holds the steps short: raise max_steps (--max-steps), "
                   "loosen rtol and atol, or look at the model's stiffest element");
}

} // namespace dvx::sim

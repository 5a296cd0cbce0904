#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/base/numbers.h"

#include "hostsim/sim/integrators/integrator.h"

#include <algorithm>
#include <cmath>

namespace dvx::sim {

namespace {

// Ends a run at its consistent start: thrown by the observer, caught below.
struct StartReached {};

// Keeps the state of the last OnStep, which for a run that stops at T is the
// state at T after every event there.
class LastState : public Observer {
public:
    explicit LastState(bool stopAtStart) : stopAtStart_(stopAtStart) {}
    void OnStep(double t, const std::vector<double>& y) override {
        t_ = t;
        y_ = y;
        if (stopAtStart_) throw StartReached{};
    }
    void OnSample(const Sample&) override {}
    double T() const { return t_; }
    const std::vector<double>& Y() const { return y_; }

private:
    bool stopAtStart_;
    double t_ = 0.0;
    std::vector<double> y_;
};

} // namespace

void CheckAnalysisTime(const Settings& s, double at, const std::string& option) {
    const double slack = 1e-12 * std::max({1.0, std::abs(s.start), std::abs(s.stop)});
    if (!std::isfinite(at) || at < s.start - slack || at > s.stop + slack)
        throw SimError(option + " " + ShortestText(at) + ": the time lies outside the model's time span, " +
                       ShortestText(s.start) + " to " + ShortestText(s.stop) + " s");
}

void Jacobians(Network& network, double t, const std::vector<double>& y, LinearModel& into) {
    const Eigen::SparseMatrix<double>& pattern = network.Pattern();
    const std::vector<double> yp(y.size(), 0.0);
    into.a = pattern;
    into.b = pattern;
    network.Residual(t, y.data(), yp.data(), std::vector<double>(y.size()).data());
    network.Jacobian(t, y.data(), yp.data(), 0.0, into.a.valuePtr());
    network.Jacobian(t, y.data(), yp.data(), 1.0, into.b.valuePtr());
    // No unit's Jacobian depends on y', so dF/dy' is what cj = 1 adds.
    for (Eigen::Index k = 0; k < into.b.nonZeros(); ++k) into.b.valuePtr()[k] -= into.a.valuePtr()[k];
}

LinearModel LineariseAt(const Model& model, Network& network, Session& session, double at) {
    Settings s = model.settings;
    CheckAnalysisTime(s, at, "--at");
    const bool atStart = at <= s.start;
    if (!atStart) {
        // One output interval to `at`: the grid never moves a step, and only
        // the state at `at` is wanted, not samples on the way.
        s.stop = at;
        s.outputInterval = at - s.start;
    } else {
        // The run ends at its first OnStep; its grid only has to be valid.
        s.stop = std::max(s.stop, s.start + s.outputInterval);
    }
    LastState last(atStart);
    std::unique_ptr<Integrator> integrator = MakeIntegrator(s.method, network, session);
    try {
        integrator->Run(s, last);
    } catch (const StartReached&) {
    }
    LinearModel lin;
    lin.t = atStart ? s.start : at;
    if (last.Y().empty() || std::abs(last.T() - lin.t) > 1e-9 * std::max(1.0, std::abs(lin.t)))
        throw SimError("the run did not reach t = " + TimeText(lin.t) + " (its last state is at " +
                       TimeText(last.T()) + ")");
    lin.y = last.Y();
    Jacobians(network, lin.t, lin.y, lin);
    for (const ElementUnit* unit : network.Units())
        if (const std::string mode = unit->ModeText(); !mode.empty()) lin.modes.push_back(unit->Label() + ": " + mode);
    return lin;
}

} // namespace dvx::sim

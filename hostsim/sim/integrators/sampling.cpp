#include "hostsim/sim/integrators/sampling.h"

#include "hostsim/sim/session/session.h"

namespace dvx::sim {

void SampleFeed::Emit(double sampleTime, double at, const std::vector<double>& y, const std::vector<double>& yp) {
    network_.Observe(at, y.data(), yp.data(), outputs_);
    observer_.OnSample({sampleTime, y, outputs_});
    ++stats_.samples;
}

void SampleFeed::Here(double t, double upTo, const std::vector<double>& y, const std::vector<double>& yp) {
    for (; next_ < plan_.Samples() && plan_.SampleTime(next_) <= upTo; ++next_) {
        const long calls = session_.StepCalls();
        Emit(plan_.SampleTime(next_), t, y, yp);
        calls_ += session_.StepCalls() - calls;
    }
}

void SampleFeed::Between(double upTo, const State& state) {
    for (; next_ < plan_.Samples() && plan_.SampleTime(next_) <= upTo; ++next_) {
        const double sampleTime = plan_.SampleTime(next_);
        const long calls = session_.StepCalls();
        const double at = state(sampleTime, y_, yp_);
        Emit(sampleTime, at, y_, yp_);
        calls_ += session_.StepCalls() - calls;
    }
}

WorkAccount::WorkAccount(const WorkCounts& solver, const ImplicitSolver& sampler, const Session& session)
    : started_(std::chrono::steady_clock::now()), solver_(solver), sampler_(sampler), session_(session),
      sampleResiduals_(sampler.Residuals()), stepCalls_(session.StepCalls()) {}

void WorkAccount::Finish(SolverStats& stats, const WorkCounts& solver, long sampleCalls) const {
    stats.residuals += solver.residuals - solver_.residuals;
    stats.jacobians += solver.jacobians - solver_.jacobians;
    stats.newtonIterations += solver.iterations - solver_.iterations;
    stats.factorizations += solver.factorizations - solver_.factorizations;
    stats.stepCalls = session_.StepCalls() - stepCalls_ - sampleCalls;
    stats.sampleResiduals = sampler_.Residuals() - sampleResiduals_;
    stats.sampleStepCalls = sampleCalls;
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

} // namespace dvx::sim

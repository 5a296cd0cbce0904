// SUNDIALS IDA on the network's residual (ida.cpp: the callbacks, the
// settings and the interpolation; ida_run.cpp: a run, step by named step).
#pragma once

#include "hostsim/sim/integrators/ida_objects.h"
#include "hostsim/sim/integrators/implicit.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/integrators/sparse_factor.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace dvx::sim {

class Timeline;

// Weights 1/(rtol*|y| + this) take the algebraic unknowns out of IDA's tests.
constexpr double kAlgebraicAtol = 1e300;
constexpr double kDeltaCj = 0.5;
// Steps this many times in a row at the time's own resolution: IDA cannot
// go on.
constexpr long kStalledSteps = 1000;

class Ida final : public Integrator {
public:
    Ida(Network& network, Session& session)
        : network_(network), session_(session), solver_(network), sampler_(network), factor_(network.Pattern()) {
        factor_.SetFloating([&network](int unknown) { return network.MayFloat(unknown); });
    }

    SolverStats Run(const Settings& s, Observer& observer) override;

private:
    static int Residual(realtype t, N_Vector y, N_Vector yp, N_Vector r, void* self);
    static int Jacobian(realtype t, realtype cj, N_Vector y, N_Vector yp, N_Vector r, SUNMatrix j, void* self,
                        N_Vector, N_Vector, N_Vector);
    static int Roots(realtype t, N_Vector y, N_Vector yp, realtype* g, void* self);
    static void Report(int code, const char* module, const char* function, char* message, void* self);

    // Runs `body`, keeping any exception for Run to throw once IDA has
    // returned: nothing may unwind through IDA's C frames.
    template <typename Body>
    int Guard(Body&& body) {
        try {
            body();
            return 0;
        } catch (...) {
            failure_ = std::current_exception();
            return -1;
        }
    }
    void Check(int flag, double t, const char* what);
    void Accumulate(SolverStats& stats);
    void Setup(const Settings& s, double t);
    // The unknown whose local error weighs most: what holds the step short.
    std::string Limiting();
    // The interpolated point at `at` (within IDA's last step), made
    // consistent by `solver` where the network needs it.
    void Interpolate(ImplicitSolver& solver, double at, bool derivative, std::vector<double>& y,
                     std::vector<double>& yp);

    // The steps of Run (ida_run.cpp), on the state of one run.
    struct Pass;
    struct Step;
    void Start(Pass& run);
    Step Advance(Pass& run);
    void CheckProgress(Pass& run, const Step& step);
    void SampleInside(Pass& run, double upTo);
    void Integrate(Pass& run, double to);
    void Finish(Pass& run, const Step& step);
    void TimeEvent(Pass& run, const Step& step);
    void StateEvent(Pass& run, const Step& step);
    void Restart(Pass& run, const char* kind, std::vector<ModeChange> modes, double storedBefore);
    void PassRoot(Pass& run, const Step& step);
    SolverStats Close(Pass& run);

    Network& network_;
    Session& session_;
    ImplicitSolver solver_;
    ImplicitSolver sampler_; // the samples' own, so that none of their work counts as the solver's
    SparseFactor factor_;
    std::unique_ptr<IdaObjects> ida_;
    const Timeline* line_ = nullptr;
    size_t n_ = 0;
    bool exact_ = false;
    double lastEvent_ = 0.0;
    std::exception_ptr failure_;
    std::string message_;
    long residuals_ = 0, jacobians_ = 0, rootEvaluations_ = 0;
};

} // namespace dvx::sim

// SUNDIALS IDA on the network's residual: variable order and step, local error below rtol*|y| + atol.
//
// - Algebraic unknowns (a gear's torque, a speed source's torque, speeds of
//   massless nodes) are marked with IDASetId and kept out of the error test,
//   and out of the Newton test too (their tolerance is made vast): the
//   gear's constraint makes its torque an index-2 unknown, whose rounding
//   error grows as 1/h and, held to a tight tolerance, would shrink the
//   steps without end. The states still converge; the algebraic values of
//   samples and energies are solved afresh at their own time.
// - Consistent values are computed by the host (IDACalcIC cannot handle the
//   index-2 constraint): at the start, after every time event and after
//   every mode change.
// - Every waveform breakpoint is a time event: IDA stops there
//   (IDASetStopTime) and restarts from consistent values after it. Zero
//   crossings of hybrid units are found by IDA's root finding, falls through
//   zero only; a mode change restarts it the same way.
// - Samples on the output grid come from IDA's interpolation, made
//   consistent at their own time where the interpolant does not satisfy
//   every unit exactly (a constraint that moves with time, such as a named K
//   that changes). A sample touches neither IDA nor the steps: the solver's
//   steps, events and results do not depend on where the samples lie.
// - Energies are integrated along IDA's interpolating polynomial, step by
//   step (energy_quadrature.h).
#include "hostsim/sim/integrators/energy_quadrature.h"
#include "hostsim/sim/integrators/events.h"
#include "hostsim/sim/integrators/fixed_step.h"
#include "hostsim/sim/integrators/ida_objects.h"
#include "hostsim/sim/integrators/implicit.h"
#include "hostsim/sim/integrators/sundials_eigen.h"
#include "hostsim/sim/base/numbers.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <utility>

namespace dvx::sim {

namespace {

// Weights 1/(rtol*|y| + this) take the algebraic unknowns out of IDA's tests.
constexpr double kAlgebraicAtol = 1e300;
constexpr double kDeltaCj = 0.5;
// Steps this many times in a row at the time's own resolution: IDA cannot
// go on.
constexpr long kStalledSteps = 1000;

class Ida : public Integrator {
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
    std::vector<double> outputs_;
    long residuals_ = 0, jacobians_ = 0, rootEvaluations_ = 0;
};

int Ida::Residual(realtype t, N_Vector y, N_Vector yp, N_Vector r, void* self) {
    Ida& ida = *static_cast<Ida*>(self);
    ++ida.residuals_;
    return ida.Guard([&] {
        ida.network_.Residual(t, N_VGetArrayPointer(y), N_VGetArrayPointer(yp), N_VGetArrayPointer(r));
    });
}

int Ida::Jacobian(realtype t, realtype cj, N_Vector y, N_Vector yp, N_Vector, SUNMatrix j, void* self, N_Vector,
                  N_Vector, N_Vector) {
    Ida& ida = *static_cast<Ida*>(self);
    ++ida.jacobians_;
    return ida.Guard([&] {
        ida.network_.Jacobian(t, N_VGetArrayPointer(y), N_VGetArrayPointer(yp), cj, FactorOf(j).Values());
    });
}

int Ida::Roots(realtype t, N_Vector y, N_Vector yp, realtype* g, void* self) {
    Ida& ida = *static_cast<Ida*>(self);
    ++ida.rootEvaluations_;
    return ida.Guard([&] { ida.network_.Crossings(t, N_VGetArrayPointer(y), N_VGetArrayPointer(yp), g); });
}

void Ida::Report(int code, const char*, const char* function, char* message, void* self) {
    if (code < 0) static_cast<Ida*>(self)->message_ = std::string(function) + ": " + message;
}

void Ida::Check(int flag, double t, const char* what) {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    if (flag >= 0) return;
    const std::string at = "at t = " + TimeText(t) + " ";
    if (!factor_.Dependence().Empty() && (flag == IDA_LSETUP_FAIL || flag == IDA_LSOLVE_FAIL ||
                                          flag == IDA_CONV_FAIL || flag == IDA_REP_RES_ERR))
        throw SingularError(solver_.DescribeSingular(t, factor_));
    if (flag == IDA_ERR_FAIL || flag == IDA_CONV_FAIL)
        throw SimError(at + (flag == IDA_ERR_FAIL ? "IDA's error test failed repeatedly"
                                                  : "IDA's Newton iteration failed repeatedly") +
                       ", at the shortest step it can take (" + Limiting() +
                       "): the model changes faster than the tolerances allow there, or an input jumps without a "
                       "breakpoint");
    throw SimError(at + "IDA failed (" + what + ", flag " + std::to_string(flag) +
                   (message_.empty() ? std::string(")") : "): " + message_));
}

std::string Ida::Limiting() {
    IdaObjects& o = *ida_;
    if (IDAGetEstLocalErrors(o.mem, o.ys) < 0 || IDAGetErrWeights(o.mem, o.yps) < 0) return "no estimate";
    const double* e = N_VGetArrayPointer(o.ys);
    const double* w = N_VGetArrayPointer(o.yps);
    size_t worst = 0;
    for (size_t i = 1; i < n_; ++i)
        if (std::abs(e[i] * w[i]) > std::abs(e[worst] * w[worst])) worst = i;
    return "the largest local error is in " + network_.Label(static_cast<int>(worst));
}

void Ida::Accumulate(SolverStats& stats) {
    long steps = 0, errors = 0, failures = 0, iterations = 0;
    IDAGetNumSteps(ida_->mem, &steps);
    IDAGetNumErrTestFails(ida_->mem, &errors);
    IDAGetNumNonlinSolvConvFails(ida_->mem, &failures);
    IDAGetNumNonlinSolvIters(ida_->mem, &iterations);
    stats.steps += steps;
    stats.errorTestFailures += errors;
    stats.newtonFailures += failures;
    stats.newtonIterations += iterations;
}

void Ida::Setup(const Settings& s, double t) {
    IdaObjects& o = *ida_;
    void* mem = o.mem;
    double* id = N_VGetArrayPointer(o.id);
    double* atol = N_VGetArrayPointer(o.atol);
    for (size_t i = 0; i < n_; ++i) {
        const bool differential = network_.Kinds()[i] == UnknownKind::Differential;
        id[i] = differential ? 1.0 : 0.0;
        atol[i] = differential ? s.atol : kAlgebraicAtol;
    }
    Check(IDASetErrHandlerFn(mem, &Ida::Report, this), t, "IDASetErrHandlerFn");
    Check(IDAInit(mem, &Ida::Residual, t, o.y, o.yp), t, "IDAInit");
    Check(IDASetUserData(mem, this), t, "IDASetUserData");
    Check(IDASVtolerances(mem, s.rtol, o.atol), t, "IDASVtolerances");
    Check(IDASetId(mem, o.id), t, "IDASetId");
    Check(IDASetSuppressAlg(mem, SUNTRUE), t, "IDASetSuppressAlg");
    if (s.maxStep > 0.0) Check(IDASetMaxStep(mem, s.maxStep), t, "IDASetMaxStep");
    Check(IDASetLinearSolver(mem, o.solver, o.matrix), t, "IDASetLinearSolver");
    Check(IDASetJacFn(mem, &Ida::Jacobian), t, "IDASetJacFn");
    // A sparse LU costs several residuals here: the Jacobian is refreshed when
    // cj has moved by half, not by a quarter (IDA's default).
    Check(IDASetDeltaCjLSetup(mem, kDeltaCj), t, "IDASetDeltaCjLSetup");
    Check(IDASetLinearSolutionScaling(mem, SUNFALSE), t, "IDASetLinearSolutionScaling");
    const int crossings = network_.CrossingCount();
    if (crossings > 0) {
        Check(IDARootInit(mem, crossings, &Ida::Roots), t, "IDARootInit");
        std::vector<int> falling(static_cast<size_t>(crossings), -1);
        Check(IDASetRootDirection(mem, falling.data()), t, "IDASetRootDirection");
        Check(IDASetNoInactiveRootWarn(mem), t, "IDASetNoInactiveRootWarn");
    }
}

void Ida::Interpolate(ImplicitSolver& solver, double at, bool derivative, std::vector<double>& y,
                      std::vector<double>& yp) {
    IdaObjects& o = *ida_;
    Check(IDAGetDky(o.mem, at, 0, o.ys), at, "IDAGetDky");
    const double* p = N_VGetArrayPointer(o.ys);
    y.assign(p, p + n_);
    if (exact_ && !derivative) return; // energies need no derivative
    Check(IDAGetDky(o.mem, at, 1, o.yps), at, "IDAGetDky");
    const double* q = N_VGetArrayPointer(o.yps);
    yp.assign(q, q + n_);
    if (exact_) return;
    // The interpolant of an index-2 torque can stray far from its values at
    // the steps: the algebraic unknowns start from the end of the step.
    const double* stepEnd = N_VGetArrayPointer(o.y);
    for (size_t i = 0; i < n_; ++i)
        if (network_.Kinds()[i] == UnknownKind::Algebraic) y[i] = stepEnd[i];
    realtype h = 0.0;
    IDAGetLastStep(o.mem, &h);
    ConsistentBetween(solver, *line_, at, lastEvent_, h, y, yp);
}

SolverStats Ida::Run(const Settings& s, Observer& observer) {
    const auto started = std::chrono::steady_clock::now();
    const long solverResiduals = solver_.Residuals(), solverJacobians = solver_.Jacobians();
    const long solverIterations = solver_.Iterations();
    const long factorizations = solver_.Factorizations() + factor_.Factorizations();
    const long stepCalls = session_.StepCalls();
    residuals_ = jacobians_ = 0;
    SolverStats stats;
    const long sampleResiduals = sampler_.Residuals();
    long sampleCalls = 0; // the component's step calls for samples

    const StepPlan plan = PlanSteps(s);
    const Timeline line(network_, s.start, plan.stop);
    line_ = &line;
    const double end = line.End(), near = line.Near();
    EventLog log(stats, line);
    n_ = static_cast<size_t>(network_.Size());

    // The consistent start, in the modes it calls for.
    std::vector<double> y = network_.Initial(), yp(n_, 0.0), ys, yps;
    {
        std::vector<ModeChange> modes;
        stats.modeChanges += solver_.Start(s.start, line.ProjectStep(), line.DeriveStep(s.start, 0.0), y, yp, &modes);
        log.Add(s.start, "start", std::move(modes));
        network_.NoteMovedStates(y, stats.warnings);
    }
    lastEvent_ = s.start;
    long nextSample = 0;
    // Samples at or before `upTo` from the point (y, yp) itself: the start,
    // an event (the state after it), the end.
    auto sampleHere = [&](double t, double upTo) {
        for (; nextSample < plan.Samples() && plan.SampleTime(nextSample) <= upTo; ++nextSample) {
            const long calls = session_.StepCalls();
            network_.Observe(t, y.data(), yp.data(), outputs_);
            observer.OnSample({plan.SampleTime(nextSample), y, outputs_});
            ++stats.samples;
            sampleCalls += session_.StepCalls() - calls;
        }
    };
    observer.OnStep(s.start, y);
    sampleHere(s.start, s.start + near);

    ida_ = std::make_unique<IdaObjects>(n_, network_.Pattern(), factor_);
    IdaObjects& o = *ida_;
    o.Load(o.y, y);
    o.Load(o.yp, yp);
    Setup(s, s.start);
    void* mem = o.mem;

    // Samples up to `upTo` (inside IDA's last step) from its interpolation.
    auto sampleBetween = [&](double upTo) {
        for (; nextSample < plan.Samples() && plan.SampleTime(nextSample) <= upTo; ++nextSample) {
            const double ts = plan.SampleTime(nextSample);
            const long calls = session_.StepCalls();
            Interpolate(sampler_, ts, true, ys, yps);
            if (!exact_) ++stats.samplesMadeConsistent;
            network_.Observe(ts, ys.data(), yps.data(), outputs_);
            observer.OnSample({ts, ys, outputs_});
            ++stats.samples;
            sampleCalls += session_.StepCalls() - calls;
        }
    };
    EnergyQuadrature energy(network_);
    auto onStep = [&](double at, std::vector<double>& into) { Interpolate(solver_, at, false, into, yps); };
    const int crossings = network_.CrossingCount();
    std::vector<int> fired(static_cast<size_t>(crossings));
    double t = s.start;        // the last solution point
    double integrated = s.start; // energies are integrated up to here
    double stopSet = std::numeric_limits<double>::quiet_NaN();
    long stalled = 0;
    while (t < end) {
        const size_t next = line.After(t);
        const bool toEvent = next < line.Events().size();
        const double stop = toEvent ? line.Events()[next].first : end;
        if (!(stop == stopSet)) {
            Check(IDASetStopTime(mem, stop), t, "IDASetStopTime");
            stopSet = stop;
        }
        realtype reached = t;
        message_.clear();
        const int flag = IDASolve(mem, stop, &reached, o.y, o.yp, IDA_ONE_STEP);
        Check(flag, reached, "IDASolve");
        exact_ = network_.ExactOnInterpolant();
        const bool atStop = flag == IDA_TSTOP_RETURN, atRoot = flag == IDA_ROOT_RETURN;
        realtype h = 0.0, coming = 0.0, internal = reached;
        IDAGetLastStep(mem, &h);
        IDAGetCurrentStep(mem, &coming);
        // The scale of the short steps after an event: a last step cut short
        // to land on a breakpoint says little of the run's pace.
        const double pace = std::max(h, coming);
        IDAGetCurrentTime(mem, &internal);
        long steps = 0;
        IDAGetNumSteps(mem, &steps);
        if (stats.steps + steps > s.maxSteps) CheckStepLimit(stats.steps + steps, s.maxSteps, reached, h, Limiting());
        stalled = h <= 16.0 * std::numeric_limits<double>::epsilon() * std::max(std::abs(reached), line.Span())
                      ? stalled + 1
                      : 0;
        if (stalled > kStalledSteps)
            throw SimError("at t = " + TimeText(reached) + " IDA's steps have shrunk to the time's own resolution (" +
                           Limiting() + "): the tolerances cannot be met there; loosen rtol and atol");

        o.Store(o.y, y);
        o.Store(o.yp, yp);
        t = reached;
        if (!atStop && !atRoot) observer.OnStep(t, y);
        // Grid points inside the step come from the interpolation; one at
        // the step's end where an event happens there shows the state after.
        sampleBetween(atStop || atRoot ? reached - near : reached);
        energy.Add(integrated, reached, onStep);
        integrated = reached;
        if (atStop && !toEvent) {
            t = end;
            observer.OnStep(t, y);
            if (!exact_) {
                // IDA's own end point meets the constraints to its Newton
                // test; the samples there meet them to rounding.
                const long calls = session_.StepCalls();
                ConsistentBetween(sampler_, line, t, lastEvent_, h, y, yp);
                ++stats.samplesMadeConsistent;
                sampleCalls += session_.StepCalls() - calls;
            }
            sampleHere(t, end + near);
            break;
        }

        bool restart = false;
        std::vector<ModeChange> modes;
        const double storedBefore = atStop || atRoot ? network_.Stored(t, y.data()) : 0.0;
        if (atStop) {
            // The inputs after every breakpoint of the event, at its last.
            ++stats.timeEvents;
            t = line.Events()[next].last;
            solver_.Consistent(t, line.ProjectStep(), line.DeriveStep(t, pace), Side::Forward, y, yp);
            stats.modeChanges += solver_.SettleModes(t, line.ProjectStep(), line.DeriveStep(t, pace), y, yp, nullptr,
                                                     &modes);
            restart = true;
        } else if (atRoot) {
            Check(IDAGetRootInfo(mem, fired.data()), t, "IDAGetRootInfo");
            ++stats.stateEvents;
            const long changes = solver_.SettleModes(t, line.ProjectStep(), line.DeriveStep(t, pace), y, yp,
                                                     fired.data(), &modes);
            stats.modeChanges += changes;
            restart = changes > 0;
        }
        if (restart) {
            stats.eventEnergy += storedBefore - network_.Stored(t, y.data());
            log.Add(t, atStop ? "breakpoint" : "crossing", std::move(modes));
            Accumulate(stats);
            o.Load(o.y, y);
            o.Load(o.yp, yp);
            Check(IDAReInit(mem, t, o.y, o.yp), t, "IDAReInit");
            lastEvent_ = t;
            observer.OnStep(t, y);
            sampleHere(t, t + near);
        } else if (atRoot) {
            // A root that changed nothing: IDA goes on from the end of its
            // step, whose stretch after the root is sampled and integrated
            // now, while the interpolation still covers it.
            observer.OnStep(t, y);
            sampleBetween(internal);
            energy.Add(integrated, internal, onStep);
            integrated = std::max(integrated, static_cast<double>(internal));
            t = std::max(t, static_cast<double>(internal));
        }
    }

    std::vector<EnergyAccount>& accounts = network_.Energies();
    for (size_t k = 0; k < accounts.size(); ++k) accounts[k].value = energy.Values()[k];
    Accumulate(stats);
    stats.residuals = residuals_ + solver_.Residuals() - solverResiduals;
    stats.jacobians = jacobians_ + solver_.Jacobians() - solverJacobians;
    stats.newtonIterations += solver_.Iterations() - solverIterations;
    stats.factorizations = solver_.Factorizations() + factor_.Factorizations() - factorizations;
    stats.stepCalls = session_.StepCalls() - stepCalls - sampleCalls;
    stats.sampleResiduals = sampler_.Residuals() - sampleResiduals;
    stats.sampleStepCalls = sampleCalls;
    solver_.NoteFloating(factor_, stats.warnings);
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    line_ = nullptr;
    return stats;
}

} // namespace

std::unique_ptr<Integrator> MakeIda(Network& network, Session& session) {
    return std::make_unique<Ida>(network, session);
}

} // namespace dvx::sim

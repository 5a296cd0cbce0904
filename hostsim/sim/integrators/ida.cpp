// SUNDIALS IDA on the network's residual: variable order and step, local error below rtol*|y| + atol.
//
// - Algebraic unknowns (a gear's torque, a speed source's torque, speeds of
//   massless nodes) are marked with IDASetId and kept out of the error test:
//   the gear's constraint makes its torque an index-2 unknown, whose error
//   estimate would only shorten every step.
// - Consistent values are computed by the host (IDACalcIC cannot handle the
//   index-2 constraint): at the start, after every time event and after
//   every mode change.
// - Every waveform breakpoint is a time event: IDA stops there
//   (IDASetStopTime) and restarts from consistent values after it. Zero
//   crossings of hybrid units are found by IDA's root finding; a mode change
//   restarts it the same way.
// - Samples on the output grid come from IDA's interpolation, made
//   consistent with the algebraic equations by one short Euler step where
//   the interpolant does not satisfy them already (a constraint that moves
//   with time, such as a named K that changes).
// - Energies are integrated along IDA's interpolating polynomial, step by
//   step (energy_quadrature.h).
#include "hostsim/sim/integrators/energy_quadrature.h"
#include "hostsim/sim/integrators/fixed_step.h"
#include "hostsim/sim/integrators/implicit.h"
#include "hostsim/sim/integrators/sundials_eigen.h"

#include <ida/ida.h>
#include <nvector/nvector_serial.h>

#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

namespace dvx::sim {

namespace {

// Consistent values use backward Euler steps this much shorter than the
// output interval. Points between steps are made consistent with a longer
// one: the torques it computes lag by that step only, and stay clear of the
// rounding error that a very short step multiplies.
constexpr double kShortFraction = 1e-7;
constexpr double kSampleFraction = 1e-6;
constexpr long kStepLimit = 20'000'000;
constexpr double kDeltaCj = 0.5;

// The SUNDIALS objects of one run, freed in the right order.
struct IdaObjects {
    SUNContext context = nullptr;
    void* mem = nullptr;
    N_Vector y = nullptr, yp = nullptr, id = nullptr, ys = nullptr, yps = nullptr, yq = nullptr;
    SUNMatrix matrix = nullptr;
    SUNLinearSolver solver = nullptr;

    ~IdaObjects() {
        if (mem != nullptr) IDAFree(&mem);
        if (solver != nullptr) SUNLinSolFree(solver);
        if (matrix != nullptr) SUNMatDestroy(matrix);
        for (N_Vector v : {y, yp, id, ys, yps, yq})
            if (v != nullptr) N_VDestroy(v);
        if (context != nullptr) SUNContext_Free(&context);
    }
};

class Ida : public Integrator {
public:
    Ida(Network& network, Session& session)
        : network_(network), session_(session), solver_(network), factor_(network.Pattern()) {}

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
    void Restart(double t);

    Network& network_;
    Session& session_;
    ImplicitSolver solver_;
    SparseFactor factor_;
    std::unique_ptr<IdaObjects> ida_;
    size_t n_ = 0;
    std::exception_ptr failure_;
    std::string message_;
    std::vector<double> outputs_, powers_;
    long residuals_ = 0, jacobians_ = 0;
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
    return ida.Guard([&] { ida.network_.Crossings(t, N_VGetArrayPointer(y), N_VGetArrayPointer(yp), g); });
}

void Ida::Report(int code, const char*, const char* function, char* message, void* self) {
    if (code < 0) static_cast<Ida*>(self)->message_ = std::string(function) + ": " + message;
}

void Ida::Check(int flag, double t, const char* what) {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    if (flag < 0)
        throw SimError("at t = " + TimeText(t) + " IDA failed (" + what + ", flag " + std::to_string(flag) +
                       (message_.empty() ? std::string(")") : "): " + message_));
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

void Ida::Restart(double t) {
    Check(IDAReInit(ida_->mem, t, ida_->y, ida_->yp), t, "IDAReInit");
}

SolverStats Ida::Run(const Settings& s, Observer& observer) {
    const auto started = std::chrono::steady_clock::now();
    const long stepCalls = session_.StepCalls();
    const long residuals = solver_.Residuals(), jacobians = solver_.Jacobians();
    const long iterations = solver_.Iterations();
    const long factorizations = solver_.Factorizations() + factor_.Factorizations();
    residuals_ = jacobians_ = 0;
    SolverStats stats;

    const StepPlan plan = PlanSteps(s);
    const double end = GridTime(s, plan.intervals);
    const double hShort = kShortFraction * s.outputInterval;
    const double hSample = kSampleFraction * s.outputInterval;
    // Grid points and breakpoints this close count as one time.
    const double near = 1e-9 * s.outputInterval;
    n_ = static_cast<size_t>(network_.Size());

    // The consistent start, in the modes it calls for.
    std::vector<double> y = network_.Initial(), yp(n_, 0.0), ys, yps;
    network_.StartModes(s.start, y.data(), yp.data());
    solver_.Consistent(s.start, hShort, y, yp);
    {
        std::vector<ModeSet> modes;
        stats.modeChanges += solver_.SettleModes(s.start, hShort, y, yp, nullptr, &modes);
        stats.events.push_back({s.start, "start", std::move(modes)});
    }
    network_.Observe(s.start, y.data(), yp.data(), outputs_);
    observer.OnStep(s.start, y);
    observer.OnSample({s.start, y, outputs_});

    ida_ = std::make_unique<IdaObjects>();
    IdaObjects& o = *ida_;
    if (SUNContext_Create(nullptr, &o.context) != 0) throw SimError("IDA: cannot create a SUNDIALS context");
    const auto length = static_cast<sunindextype>(n_);
    o.y = N_VNew_Serial(length, o.context);
    o.yp = N_VNew_Serial(length, o.context);
    o.id = N_VNew_Serial(length, o.context);
    o.ys = N_VNew_Serial(length, o.context);
    o.yps = N_VNew_Serial(length, o.context);
    o.yq = N_VNew_Serial(length, o.context);
    o.mem = IDACreate(o.context);
    o.matrix = NewFactorMatrix(o.context, factor_);
    o.solver = NewFactorSolver(o.context, factor_);
    if (o.y == nullptr || o.yp == nullptr || o.id == nullptr || o.ys == nullptr || o.yps == nullptr ||
        o.yq == nullptr || o.mem == nullptr || o.matrix == nullptr || o.solver == nullptr)
        throw SimError("IDA: out of memory for " + std::to_string(n_) + " unknowns");

    auto load = [this](N_Vector v, const std::vector<double>& from) {
        std::copy(from.begin(), from.end(), N_VGetArrayPointer(v));
    };
    auto store = [this](N_Vector v, std::vector<double>& to) {
        const double* p = N_VGetArrayPointer(v);
        to.assign(p, p + n_);
    };
    load(o.y, y);
    load(o.yp, yp);
    double* id = N_VGetArrayPointer(o.id);
    for (size_t i = 0; i < n_; ++i) id[i] = network_.Kinds()[i] == UnknownKind::Differential ? 1.0 : 0.0;

    void* mem = o.mem;
    Check(IDASetErrHandlerFn(mem, &Ida::Report, this), s.start, "IDASetErrHandlerFn");
    Check(IDAInit(mem, &Ida::Residual, s.start, o.y, o.yp), s.start, "IDAInit");
    Check(IDASetUserData(mem, this), s.start, "IDASetUserData");
    Check(IDASStolerances(mem, s.rtol, s.atol), s.start, "IDASStolerances");
    Check(IDASetId(mem, o.id), s.start, "IDASetId");
    Check(IDASetSuppressAlg(mem, SUNTRUE), s.start, "IDASetSuppressAlg");
    if (s.maxStep > 0.0) Check(IDASetMaxStep(mem, s.maxStep), s.start, "IDASetMaxStep");
    Check(IDASetLinearSolver(mem, o.solver, o.matrix), s.start, "IDASetLinearSolver");
    Check(IDASetJacFn(mem, &Ida::Jacobian), s.start, "IDASetJacFn");
    // A sparse LU costs several residuals here: the Jacobian is refreshed when
    // cj has moved by half, not by a quarter (IDA's default). The Newton
    // iteration stays convergent (IDA scales its solution by the cj ratio)
    // and takes an iteration more now and then.
    Check(IDASetDeltaCjLSetup(mem, kDeltaCj), s.start, "IDASetDeltaCjLSetup");
    Check(IDASetLinearSolutionScaling(mem, SUNFALSE), s.start, "IDASetLinearSolutionScaling");
    const int crossings = network_.CrossingCount();
    if (crossings > 0) {
        Check(IDARootInit(mem, crossings, &Ida::Roots), s.start, "IDARootInit");
        Check(IDASetNoInactiveRootWarn(mem), s.start, "IDASetNoInactiveRootWarn");
    }

    const std::vector<double> breakpoints = network_.Breakpoints(s.start, end);
    size_t nextBreak = 0;
    long nextSample = 1;
    std::vector<int> fired(static_cast<size_t>(crossings));
    // A point between two steps: the interpolated one, made consistent where
    // it is not. The interpolant of an index-2 torque can stray far from its
    // values at the steps (it is kept out of the error test), so the
    // algebraic unknowns start from the end of the step and are solved for
    // afresh.
    // Whether the interpolant needs that is asked once per step.
    std::vector<double> betweenP;
    bool exact = network_.ExactOnInterpolant();
    auto interpolate = [&](double at, std::vector<double>& into, std::vector<double>& intoP) {
        Check(IDAGetDky(mem, at, 0, o.ys), at, "IDAGetDky");
        store(o.ys, into);
        if (exact && &intoP == &betweenP) return; // energies need no derivative
        Check(IDAGetDky(mem, at, 1, o.yps), at, "IDAGetDky");
        store(o.yps, intoP);
        if (exact) return;
        const double* stepEnd = N_VGetArrayPointer(o.y);
        for (size_t i = 0; i < n_; ++i)
            if (network_.Kinds()[i] == UnknownKind::Algebraic) into[i] = stepEnd[i];
        solver_.Consistent(at, hSample, into, intoP);
    };
    auto sample = [&](double ts, const std::vector<double>& at, const std::vector<double>& atp) {
        network_.Observe(ts, at.data(), atp.data(), outputs_);
        observer.OnSample({ts, at, outputs_});
    };
    EnergyQuadrature energy(network_);
    auto onStep = [&](double at, std::vector<double>& into) { interpolate(at, into, betweenP); };
    double t = s.start;
    double integrated = s.start; // energies are integrated up to here
    long calls = 0;
    while (t < end) {
        while (nextBreak < breakpoints.size() && breakpoints[nextBreak] <= t + near) ++nextBreak;
        const double stop = nextBreak < breakpoints.size() && breakpoints[nextBreak] < end - near
                                ? breakpoints[nextBreak]
                                : end;
        Check(IDASetStopTime(mem, stop), t, "IDASetStopTime");
        realtype reached = t;
        message_.clear();
        const int flag = IDASolve(mem, stop, &reached, o.y, o.yp, IDA_ONE_STEP);
        ++calls;
        Check(flag, reached, "IDASolve");
        const bool atStop = flag == IDA_TSTOP_RETURN;
        exact = network_.ExactOnInterpolant();
        const bool atRoot = flag == IDA_ROOT_RETURN;

        // Grid points inside the step come from the interpolation.
        while (nextSample <= plan.intervals) {
            const double ts = GridTime(s, nextSample);
            if (!(ts < reached - near || (!atStop && !atRoot && ts <= reached))) break;
            interpolate(ts, ys, yps);
            sample(ts, ys, yps);
            ++nextSample;
        }
        store(o.y, y);
        store(o.yp, yp);
        t = reached;
        // The energies up to here, in the modes of the step.
        energy.Add(integrated, t, onStep);
        integrated = t;

        // A breakpoint (IDA stopped there, or a root fell on it): the inputs
        // after it, consistent values, modes. A root: the modes it calls for.
        const bool onBreak = nextBreak < breakpoints.size() && std::abs(breakpoints[nextBreak] - t) <= near;
        const bool timeEvent = (atStop || atRoot) && onBreak && t < end - near;
        if (atStop && !timeEvent) t = end;
        bool restart = false;
        const double storedBefore = atRoot || timeEvent ? network_.Stored(t, y.data()) : 0.0;
        if (timeEvent) {
            ++stats.timeEvents;
            solver_.Consistent(t, hShort, y, yp);
            restart = true;
        }
        if (atRoot) {
            Check(IDAGetRootInfo(mem, fired.data()), t, "IDAGetRootInfo");
            ++stats.stateEvents;
        }
        if (atRoot || timeEvent) {
            std::vector<ModeSet> modes;
            const long changes = solver_.SettleModes(t, hShort, y, yp, atRoot ? fired.data() : nullptr, &modes);
            stats.modeChanges += changes;
            restart = restart || changes > 0;
            if (restart) {
                stats.eventEnergy += storedBefore - network_.Stored(t, y.data());
                stats.events.push_back({t, timeEvent ? "breakpoint" : "crossing", std::move(modes)});
            }
        }
        // A root that changed nothing: IDA goes on from the end of its step,
        // and the energies too.
        if (!restart && atRoot) {
            realtype internal = t;
            Check(IDAGetCurrentTime(mem, &internal), t, "IDAGetCurrentTime");
            energy.Add(integrated, internal, onStep);
            integrated = std::max(integrated, static_cast<double>(internal));
        }
        if (restart) {
            Accumulate(stats);
            load(o.y, y);
            load(o.yp, yp);
            Restart(t);
        }
        observer.OnStep(t, y);
        // A grid point at the event (or at the end) shows the state after it.
        while (nextSample <= plan.intervals && GridTime(s, nextSample) <= t + near) {
            sample(GridTime(s, nextSample), y, yp);
            ++nextSample;
        }
        if (calls > kStepLimit)
            throw SimError("at t = " + TimeText(t) + " IDA has taken more than " + std::to_string(kStepLimit) +
                           " steps; the model may switch modes without end");
    }

    std::vector<EnergyAccount>& accounts = network_.Energies();
    for (size_t k = 0; k < accounts.size(); ++k) accounts[k].value = energy.Values()[k];
    Accumulate(stats);
    stats.residuals = residuals_ + solver_.Residuals() - residuals;
    stats.jacobians = jacobians_ + solver_.Jacobians() - jacobians;
    stats.newtonIterations += solver_.Iterations() - iterations;
    stats.factorizations = solver_.Factorizations() + factor_.Factorizations() - factorizations;
    stats.stepCalls = session_.StepCalls() - stepCalls;
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return stats;
}

} // namespace

std::unique_ptr<Integrator> MakeIda(Network& network, Session& session) {
    return std::make_unique<Ida>(network, session);
}

} // namespace dvx::sim

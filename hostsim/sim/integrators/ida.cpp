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
#include "hostsim/sim/integrators/ida.h"
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

std::unique_ptr<Integrator> MakeIda(Network& network, Session& session) {
    return std::make_unique<Ida>(network, session);
}

} // namespace dvx::sim

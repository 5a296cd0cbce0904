// Newton's method on the residual, for everything the host solves itself:
// the steps of euler and bdf2, consistent values at the start and after
// events, and points between steps made consistent for samples and
// energies.
#pragma once

#include "hostsim/sim/integrators/sparse_factor.h"
#include "hostsim/sim/network/network.h"

#include <string>
#include <vector>

namespace dvx::sim {

// Equations that do not fix every unknown: the message names the units and
// nodes involved.
class SingularError : public SimError {
public:
    using SimError::SimError;
};

// Which side of t the short steps that find derivatives and algebraic
// unknowns may use: only after t (at an event, where what came before no
// longer holds), around t (a point inside a step), or only before t (just
// ahead of a breakpoint).
enum class Side { Forward, Central, Backward };

class ImplicitSolver {
public:
    explicit ImplicitSolver(Network& network);

    // Newton's test: the weighted root-mean-square correction below 1,
    // with weights 1/(rtol*|y| + atol); 1e-10 and 1e-12 unless set.
    void SetTolerances(double rtol, double atol);

    // Solves F(t, y, alpha*(y - base) - g) = 0 for y, from y = base; an
    // empty g reads as 0. yp receives the derivative that goes with y. A
    // linear network converges in one iteration: the second residual, at the
    // result, only confirms it.
    void Solve(double t, const std::vector<double>& base, double alpha, const std::vector<double>& g,
               std::vector<double>& y, std::vector<double>& yp);

    // Consistent values at t: Project, then Derive.
    void Consistent(double t, double hProject, double hDerive, Side side, std::vector<double>& y,
                    std::vector<double>& yp);

    // Moves the states onto the constraints at t, with the inputs at t (a
    // waveform's value after a breakpoint), as an impulse would move them,
    // keeping momentum: two backward Euler steps of `h` with the time held
    // at t, the drift of the second taken back from the first. A state that
    // did not jump keeps its value exactly. The algebraic unknowns keep
    // their values (Derive finds them).
    void Project(double t, double h, std::vector<double>& y);
    // The derivatives and the algebraic unknowns at t of states already on
    // the constraints, from backward Euler steps of `h` on `side` of t
    // (two after it, or one on each side), combined so that their first-
    // order errors cancel: every algebraic unknown belongs to t itself (a
    // friction torque that follows a table has the table's value at t), to
    // within h^2. The states keep their values.
    void Derive(double t, double h, Side side, std::vector<double>& y, std::vector<double>& yp);

    // The consistent start in the modes the initial speeds call for. Where
    // those modes leave the equations singular (a clutch held stuck between
    // two speed sources), the units give up their constraints
    // (ElementUnit::Loosen) and choose their modes again from the speeds
    // that then result. Returns the number of mode changes; `modes`
    // receives the modes set.
    long Start(double t, double hProject, double hDerive, std::vector<double>& y, std::vector<double>& yp,
               std::vector<ModeChange>* modes);

    // At an event: asks the units for their modes at the consistent point
    // (y, yp), and while any changes, makes the point consistent in the new
    // modes and asks again. `fired` as for Network::Settle. Returns the
    // number of mode changes; `modes` (if given) receives the new modes,
    // each with the round of settling that set it.
    long SettleModes(double t, double hProject, double hDerive, std::vector<double>& y, std::vector<double>& yp,
                     const int* fired, std::vector<ModeChange>* modes = nullptr);

    // The words for equations that a factorisation found singular, and for
    // torques that equations fixing the same speeds leave undetermined one by
    // one (added to `warnings`, once, where `factor` or this solver's own
    // factorisation met them).
    std::string DescribeSingular(double t, const SparseFactor& factor) const;
    void NoteFloating(const SparseFactor& factor, std::vector<std::string>& warnings) const;
    const SparseFactor& Factor() const { return factor_; }

    long Residuals() const { return residuals_; }
    long Jacobians() const { return jacobians_; }
    long Iterations() const { return iterations_; }
    long Factorizations() const { return factor_.Factorizations(); }

private:
    // The weighted root-mean-square norms of a correction over the
    // differential unknowns and over the algebraic ones.
    struct Norms {
        double states = 0.0, algebraic = 0.0;
    };
    Norms Norm(const std::vector<double>& dx, const std::vector<double>& y) const;

    Network& network_;
    SparseFactor factor_;
    double rtol_ = 1e-10, atol_ = 1e-12;
    // The time that messages name: the event's, not that of the short steps
    // that make it consistent.
    double messageTime_ = 0.0;
    bool inConsistent_ = false;
    bool statesOnly_ = false; // the Newton test looks at differential unknowns only
    std::vector<double> f_, dx_, y1_, yp1_, y2_, yp2_, base_, a_, b_;
    long residuals_ = 0, jacobians_ = 0, iterations_ = 0;
};

} // namespace dvx::sim

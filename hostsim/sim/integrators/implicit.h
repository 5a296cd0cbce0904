// Newton's method on the residual, for everything the host solves itself:
// the steps of euler and bdf2, consistent values at the start and after
// events, and samples made consistent between IDA's steps.
#pragma once

#include "hostsim/sim/integrators/sparse_factor.h"
#include "hostsim/sim/network/network.h"

#include <vector>

namespace dvx::sim {

class ImplicitSolver {
public:
    explicit ImplicitSolver(Network& network);

    // Solves F(t, y, alpha*(y - base) - g) = 0 for y, from y = base; an
    // empty g reads as 0. yp receives the derivative that goes with y. A
    // linear network converges in one iteration: the second residual, at the
    // result, only confirms it.
    void Solve(double t, const std::vector<double>& base, double alpha, const std::vector<double>& g,
               std::vector<double>& y, std::vector<double>& yp);

private:
    // The time that messages name: the event's, not that of the short steps
    // that make it consistent.
    double messageTime_ = 0.0;
    bool inConsistent_ = false;

public:

    // Consistent values at t from y, with two backward Euler steps of
    // `hShort`, to t + hShort and t + 2*hShort. The first brings every
    // unknown onto the algebraic equations (initial speeds that contradict a
    // gear or a speed source move as an impulse would move them, keeping
    // momentum); the second, from there, moves the states only by their
    // drift. Taking that drift back from the first leaves the states where t
    // finds them, on the constraints at t even where these move with time (a
    // named K that changes: to within hShort^2); the drift over hShort is the
    // states' derivative, and the algebraic unknowns are those of the second
    // step. A state that did not jump keeps its value exactly.
    void Consistent(double t, double hShort, std::vector<double>& y, std::vector<double>& yp);

    // At an event: asks the units for their modes at the consistent point
    // (y, yp), and while any changes, makes the point consistent in the new
    // modes and asks again. `fired` as for Network::Settle. Returns the
    // number of mode changes; `modes` (if given) receives the new modes,
    // each with the round of settling that set it.
    long SettleModes(double t, double hShort, std::vector<double>& y, std::vector<double>& yp, const int* fired,
                     std::vector<ModeSet>* modes = nullptr);

    long Residuals() const { return residuals_; }
    long Jacobians() const { return jacobians_; }
    long Iterations() const { return iterations_; }
    long Factorizations() const { return factor_.Factorizations(); }

private:
    double Norm(const std::vector<double>& dx, const std::vector<double>& y) const;

    Network& network_;
    SparseFactor factor_;
    std::vector<double> f_, dx_, first_, y1_, yp1_, base_;
    long residuals_ = 0, jacobians_ = 0, iterations_ = 0;
};

} // namespace dvx::sim

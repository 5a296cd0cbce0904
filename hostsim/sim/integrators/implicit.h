// Newton's method on the residual, for everything the host solves itself:
// the steps of euler and bdf2, consistent values at the start and after
// events, and samples made consistent between IDA's steps.
#pragma once

#include "hostsim/sim/integrators/sparse_factor.h"
#include "hostsim/sim/network.h"

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

    // Consistent values at t from y, with two backward Euler steps of
    // `hShort`. The first brings every unknown onto the algebraic equations
    // (initial speeds that contradict a gear or a speed source move as an
    // impulse would move them, keeping momentum); the second, from there,
    // moves the states only by their drift over hShort. Taking that drift
    // back leaves the states where t finds them and gives the algebraic
    // unknowns the values that belong to them; the drift over hShort is the
    // states' derivative. A state that did not jump keeps its value exactly.
    void Consistent(double t, double hShort, std::vector<double>& y, std::vector<double>& yp);

    // Makes an interpolated point consistent: a short backward Euler step
    // from (y, yp), so that the algebraic equations hold again. It moves the
    // states by no more than hShort times the error of the interpolated
    // derivative, but where a constraint among them is violated.
    void Project(double t, double hShort, std::vector<double>& y, const std::vector<double>& yp);

    // At an event: asks the units for their modes at the consistent point
    // (y, yp), and while any changes, makes the point consistent in the new
    // modes and asks again. `fired` as for Network::Settle. Returns the
    // number of mode changes.
    long SettleModes(double t, double hShort, std::vector<double>& y, std::vector<double>& yp, const int* fired);

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

// "at t = ..." for messages, to ten digits.
std::string TimeText(double t);

} // namespace dvx::sim

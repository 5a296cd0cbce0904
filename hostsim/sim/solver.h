// Fixed-step implicit integration of the network, with the component taking
// part through its Jacobian entries, right-hand side and outputs only.
//
// Each step solves (alpha*E + A(t1)) * dx = u(t1) + b(t1) - A(t1)*x_n + E*g
// for the increment dx = x_{n+1} - x_n, where b is the component's
// right-hand side, and
//   backward Euler: alpha = 1/h,    g = 0
//   BDF2:           alpha = 3/(2h), g = (x_n - x_{n-1}) / (2h)
// (BDF2 starts with one Euler step). Solving for the increment keeps the
// rounding error of large, slowly changing speeds out of the result.
//
// The trapezoidal rule is not offered: a gear between two inertias makes its
// torque an index-2 algebraic unknown, and the trapezoidal rule carries an
// undamped, sign-alternating error in that torque from step to step.
#pragma once

#include "hostsim/sim/network.h"

#include <Eigen/SparseLU>

#include <functional>
#include <ostream>

namespace dvx::sim {

class Observer {
public:
    virtual ~Observer() = default;
    // After the start and after every step: the time, the step just taken
    // (0 at the start) and every instance's outputs in catalogue order.
    virtual void OnStep(double t, double h, const std::vector<double>& outputs) = 0;
    // At every point of the output grid, the start included.
    virtual void OnSample(double t, const std::vector<double>& outputs) = 0;
};

// The step actually used: the requested one shortened, if need be, so that
// a whole number of steps fills each output interval.
struct StepPlan {
    double step = 0.0;
    long stepsPerInterval = 0;
    long intervals = 0;
};
StepPlan PlanSteps(const Settings& settings);

struct SolverStats {
    long steps = 0;
    long factorizations = 0;
};

class Solver {
public:
    Solver(const Model& model, Session& session, const Network& network);
    SolverStats Run(const Settings& settings, Observer& observer);

private:
    void Evaluate(double t, const std::vector<double>& x);
    void Solve(double t, double alpha, const std::vector<double>& x, const std::vector<double>& g,
               std::vector<double>& dx);
    void Observe(const std::vector<double>& x);
    int Position(int row, int col) const;

    Session& session_;
    const Network& network_;
    Eigen::SparseMatrix<double> matrix_;
    Eigen::SparseLU<Eigen::SparseMatrix<double>> lu_;
    std::vector<double> factorized_; // matrix values of the current factorization
    std::vector<int> staticPos_, massPos_;
    std::vector<std::vector<int>> entryPos_; // per instance and entry; -1 on the ground
    std::vector<std::vector<double>> values_, rhs_;
    std::vector<double> outputs_, u_;
    size_t outputCount_ = 0;
    SolverStats stats_;
};

} // namespace dvx::sim

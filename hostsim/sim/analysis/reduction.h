// The finite eigenvalues of the linearised network, A*v = -lambda*B*v, and
// their eigenvectors, by a reduction to the differential unknowns.
//
// With a shift sigma that is no eigenvalue, every solution of the pencil is
// one of (A + sigma*B)^-1 * B, whose eigenvalue is mu = 1/(sigma - lambda);
// the infinite eigenvalues of the algebraic unknowns become mu = 0. B has
// columns only at the differential unknowns D (inertia speeds, spring
// torques, backlash angles), so the non-zero mu are those of the D-by-D
// block N = [(A + sigma*B)^-1 * B]_DD, which one sparse factorisation and
// |D| solves give.
//
// A constraint on differential unknowns alone (a gear between two inertias,
// a stuck clutch, a speed source on an inertia) makes the equations index 2:
// its multiplier (the gear's torque) is an algebraic unknown that no
// algebraic row holds. Such constraints are the rows C = Y^T * A_{R,D}, with
// R the rows without a derivative and Y the left null space of A_{R,Z}, the
// algebraic unknowns' part of them. Every column of N satisfies C*x = 0, so
// in an orthonormal basis Q of ker C, N is block triangular and the finite
// eigenvalues are exactly those of Q^T*N*Q: the mu = 0 of the constraints
// drop out instead of being told apart from small ones by a threshold.
//
// That is a dense eigenproblem of |D| minus the constraints, which grows as
// its cube. For the lowest modes of a large model NearestEigenvalues works
// on the same operator without forming it: Arnoldi's method (Spectra) on
// x -> [(A + sigma*B)^-1 * B * x]_D with a shift near zero, one sparse
// solve per step, where the largest mu are the eigenvalues nearest sigma;
// the mu = 0 of the constraints are the smallest and never wanted, so the
// constraints need counting only.
#pragma once

#include <Eigen/Dense>
#include <Eigen/SparseCore>

#include <optional>
#include <string>
#include <vector>

namespace dvx::sim {

struct Reduction {
    std::vector<int> differential; // D, the unknowns with a column in B, ascending
    int constraints = 0;           // independent constraints on D
    double shift = 0.0;            // sigma [1/s]
    double rate = 0.0;             // the model's own rate (ModelRate) [1/s]
    Eigen::VectorXcd lambda;       // the finite eigenvalues found, conjugate pairs both
    Eigen::MatrixXcd vectors;      // per eigenvalue, its eigenvector on D
    // The sparse solver's: every eigenvalue with |lambda| below this was
    // found [1/s]; infinity for the dense solver, which finds them all.
    double complete = 0.0;
    std::string solver;            // "dense", or "sparse" with its work
};

// Every finite eigenvalue, by the dense reduction. Throws SimError when the
// linearised equations have no unique solution.
Reduction FiniteEigenvalues(const Eigen::SparseMatrix<double>& a, const Eigen::SparseMatrix<double>& b);

// What the sparse solver must find: at least `eigenvalues` of the finite
// eigenvalues nearest zero (conjugates counted apart), and every one with
// |lambda| < `radius` [1/s].
struct NearestRequest {
    int eigenvalues = 0;
    double radius = 0.0;
};
// The finite eigenvalues nearest zero by shift-and-invert, or nothing when
// the problem holds too few of them for Arnoldi's method to find that many
// (the dense reduction then finds them all). Throws SimError as
// FiniteEigenvalues does, and when the iteration does not converge.
std::optional<Reduction> NearestEigenvalues(const Eigen::SparseMatrix<double>& a,
                                            const Eigen::SparseMatrix<double>& b, const NearestRequest& request);

// The eigenvalues of a dense real matrix; empty when the iteration does not
// converge. Eigen's EigenSolver costs half a minute of compile time in an
// instrumented build, so it is instantiated here once for all callers.
Eigen::VectorXcd DenseEigenvalues(const Eigen::MatrixXd& m);

} // namespace dvx::sim

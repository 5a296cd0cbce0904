// The sparse factorisation every integrator solves with: an LU (sparse_lu.h)
// of a matrix of the network's fixed pattern, analysed once.
//
// A matrix that LU finds singular is factorised again by a rank-revealing
// QR. Where the directions it leaves undetermined touch only unknowns that
// the caller allows to float (the torques of constraints that fix the same
// speeds, such as a loop of gears whose ratios agree), the QR's basic
// solution is used and the system is solved as far as it is determined;
// otherwise, and where a right-hand side is not consistent with the
// matrix, the factorisation reports what it found (Dependence()).
#pragma once

#include "hostsim/sim/integrators/sparse_lu.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseCore>
#include <Eigen/SparseQR>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dvx::sim {

// Where a singular matrix loses rank: the unknowns its null space moves and
// the rows that depend on the others.
struct Dependence {
    std::vector<int> unknowns;
    std::vector<int> rows;
    bool Empty() const { return unknowns.empty() && rows.empty(); }
};

class SparseFactor {
public:
    explicit SparseFactor(const Eigen::SparseMatrix<double>& pattern);

    // The values of the matrix to factorise, in the pattern's order.
    double* Values() { return matrix_.valuePtr(); }
    long NonZeros() const { return static_cast<long>(matrix_.nonZeros()); }
    int Size() const { return static_cast<int>(matrix_.rows()); }

    // Unknowns that may be left undetermined by a singular matrix; none
    // unless set.
    void SetFloating(std::function<bool(int unknown)> floating) { floating_ = std::move(floating); }

    // Factorises the matrix, unless its values are those of the current
    // factorisation. False when it is singular in a way SetFloating does not
    // allow (Error() and Dependence() say more).
    bool Factorize();
    // x = A^-1 b (or the QR's basic solution); x and b may be the same
    // array. A row of the matrix with a single non-zero fixes its unknown
    // alone: that unknown is set from the row exactly, so that a speed held
    // at 0 stays exactly 0 rather than at the solve's rounding error. False
    // when b is not consistent with a singular matrix.
    bool Solve(const double* b, double* x);

    // True while the current factorisation is the QR of a singular matrix;
    // what the first such one left undetermined.
    bool Deficient() const { return deficient_; }
    const sim::Dependence& FirstDeficiency() const { return firstDeficiency_; }
    long Factorizations() const { return factorizations_; }
    const std::string& Error() const { return error_; }
    const sim::Dependence& Dependence() const { return dependence_; }

private:
    bool FactorizeQr();
    void FindPins();

    Eigen::SparseMatrix<double> matrix_;
    std::unique_ptr<SparseLu> lu_;
    Eigen::SparseQR<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> qr_;
    std::function<bool(int)> floating_;
    std::vector<double> factorized_; // values of the current factorisation
    bool valid_ = false;
    bool deficient_ = false;
    long factorizations_ = 0;
    std::string error_;
    sim::Dependence dependence_;
    sim::Dependence firstDeficiency_;
    // Rows with a single non-zero: row, column, value.
    struct Pin {
        int row, col;
        double value;
    };
    std::vector<Pin> pins_;
    std::vector<int> rowCount_;
    Eigen::VectorXd rhs_, check_;
    // The QR works on the matrix scaled to rows and columns of unit size
    // (the inertias of a short step outweigh a constraint's ratios by many
    // orders): rowScale_*A*colScale_.
    Eigen::VectorXd rowScale_, colScale_;
};

} // namespace dvx::sim

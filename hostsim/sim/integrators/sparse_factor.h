// The sparse LU factorisation every integrator solves with: Eigen's SparseLU
// on a matrix of the network's fixed pattern, analysed once.
#pragma once

#include <Eigen/SparseCore>
#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>

#include <string>
#include <vector>

namespace dvx::sim {


class SparseFactor {
public:
    explicit SparseFactor(const Eigen::SparseMatrix<double>& pattern);

    // The values of the matrix to factorise, in the pattern's order.
    double* Values() { return matrix_.valuePtr(); }
    long NonZeros() const { return static_cast<long>(matrix_.nonZeros()); }
    int Size() const { return static_cast<int>(matrix_.rows()); }

    // Factorises the matrix, unless its values are those of the current
    // factorisation. False when it is singular (Error() says more).
    bool Factorize();
    // x = A^-1 b; x and b may be the same array. A row of the matrix with a
    // single non-zero fixes its unknown alone: that unknown is set from the
    // row exactly, so that a speed held at 0 stays exactly 0 rather than at
    // the solve's rounding error.
    void Solve(const double* b, double* x);

    long Factorizations() const { return factorizations_; }
    const std::string& Error() const { return error_; }

private:
    Eigen::SparseMatrix<double> matrix_;
    Eigen::SparseLU<Eigen::SparseMatrix<double>> lu_;
    std::vector<double> factorized_; // values of the current factorisation
    bool valid_ = false;
    long factorizations_ = 0;
    std::string error_;
    // Rows with a single non-zero: row, column, value.
    struct Pin {
        int row, col;
        double value;
    };
    std::vector<Pin> pins_;
    std::vector<int> rowCount_;
    Eigen::VectorXd rhs_;
};

} // namespace dvx::sim

#include "hostsim/sim/integrators/sparse_factor.h"

#include <algorithm>

namespace dvx::sim {

SparseFactor::SparseFactor(const Eigen::SparseMatrix<double>& pattern) : matrix_(pattern) {
    matrix_.makeCompressed();
    lu_.analyzePattern(matrix_);
    rowCount_.assign(static_cast<size_t>(matrix_.rows()), 0);
    rhs_.resize(matrix_.rows());
}

bool SparseFactor::Factorize() {
    const double* v = matrix_.valuePtr();
    const long nnz = NonZeros();
    if (valid_ && std::equal(v, v + nnz, factorized_.begin(), factorized_.end())) return true;
    valid_ = false;
    lu_.factorize(matrix_);
    ++factorizations_;
    if (lu_.info() != Eigen::Success) {
        error_ = lu_.lastErrorMessage();
        return false;
    }
    factorized_.assign(v, v + nnz);
    valid_ = true;

    std::fill(rowCount_.begin(), rowCount_.end(), 0);
    const int* outer = matrix_.outerIndexPtr();
    const int* inner = matrix_.innerIndexPtr();
    for (long k = 0; k < nnz; ++k)
        if (v[k] != 0.0) ++rowCount_[static_cast<size_t>(inner[k])];
    pins_.clear();
    for (int col = 0; col < matrix_.cols(); ++col)
        for (int k = outer[col]; k < outer[col + 1]; ++k)
            if (v[k] != 0.0 && rowCount_[static_cast<size_t>(inner[k])] == 1) pins_.push_back({inner[k], col, v[k]});
    return true;
}

void SparseFactor::Solve(const double* b, double* x) {
    const Eigen::Index n = matrix_.rows();
    rhs_ = Eigen::Map<const Eigen::VectorXd>(b, n);
    Eigen::Map<Eigen::VectorXd> solution(x, n);
    solution = lu_.solve(rhs_);
    for (const Pin& pin : pins_) x[pin.col] = rhs_[pin.row] / pin.value;
}

} // namespace dvx::sim

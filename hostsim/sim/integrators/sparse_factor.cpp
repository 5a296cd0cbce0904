#include "hostsim/sim/integrators/sparse_factor.h"

#include <algorithm>
#include <cmath>

namespace dvx::sim {

namespace {

using Matrix = Eigen::SparseMatrix<double>;
using Qr = Eigen::SparseQR<Matrix, Eigen::COLAMDOrdering<int>>;

// The indices that the null space of a factorised matrix moves: with
// A*P = Q*[R11 R12; 0 0], its basis is P*[-R11^-1*R12; I].
std::vector<int> NullSupport(const Qr& qr, Eigen::Index n) {
    const Eigen::Index rank = qr.rank();
    if (rank >= n) return {};
    const Matrix r = qr.matrixR();
    const Matrix r11 = r.topLeftCorner(rank, rank);
    const Eigen::MatrixXd r12 = Eigen::MatrixXd(r.block(0, rank, rank, n - rank));
    Eigen::MatrixXd basis(n, n - rank);
    if (rank > 0) basis.topRows(rank) = -r11.triangularView<Eigen::Upper>().solve(r12);
    basis.bottomRows(n - rank).setIdentity();
    const Eigen::VectorXi order = qr.colsPermutation().indices();
    std::vector<int> support;
    for (Eigen::Index j = 0; j < basis.cols(); ++j) {
        const double largest = basis.col(j).cwiseAbs().maxCoeff();
        for (Eigen::Index i = 0; i < n; ++i)
            if (std::abs(basis(i, j)) > 1e-9 * largest) support.push_back(order[i]);
    }
    std::sort(support.begin(), support.end());
    support.erase(std::unique(support.begin(), support.end()), support.end());
    return support;
}

} // namespace

SparseFactor::SparseFactor(const Eigen::SparseMatrix<double>& pattern) : matrix_(pattern) {
    matrix_.makeCompressed();
    lu_ = std::make_unique<SparseLu>(matrix_);
    rowCount_.assign(static_cast<size_t>(matrix_.rows()), 0);
    rhs_.resize(matrix_.rows());
}

bool SparseFactor::Factorize() {
    const double* v = matrix_.valuePtr();
    const long nnz = NonZeros();
    if (valid_ && std::equal(v, v + nnz, factorized_.begin(), factorized_.end())) return true;
    valid_ = false;
    deficient_ = false;
    dependence_ = {};
    ++factorizations_;
    if (!lu_->Factorize(matrix_)) {
        error_ = lu_->Error();
        if (!FactorizeQr()) return false;
    }
    factorized_.assign(v, v + nnz);
    valid_ = true;
    FindPins();
    return true;
}

// The QR of a matrix that LU found singular; true where its null space
// moves floating unknowns only. The rows that depend on the others come
// from the QR of the transpose, for messages.
bool SparseFactor::FactorizeQr() {
    const Eigen::Index n = matrix_.rows();
    rowScale_ = Eigen::VectorXd::Zero(n);
    colScale_ = Eigen::VectorXd::Zero(n);
    for (int col = 0; col < matrix_.outerSize(); ++col)
        for (Matrix::InnerIterator it(matrix_, col); it; ++it)
            rowScale_[it.row()] = std::max(rowScale_[it.row()], std::abs(it.value()));
    for (Eigen::Index i = 0; i < n; ++i) rowScale_[i] = rowScale_[i] > 0.0 ? 1.0 / rowScale_[i] : 1.0;
    Matrix scaled = rowScale_.asDiagonal() * matrix_;
    for (int col = 0; col < scaled.outerSize(); ++col) {
        double largest = 0.0;
        for (Matrix::InnerIterator it(scaled, col); it; ++it) largest = std::max(largest, std::abs(it.value()));
        colScale_[col] = largest > 0.0 ? 1.0 / largest : 1.0;
    }
    scaled = scaled * colScale_.asDiagonal();
    scaled.makeCompressed();
    qr_.compute(scaled);
    if (qr_.info() != Eigen::Success) return false;
    dependence_.unknowns = NullSupport(qr_, n);
    Qr transposed;
    const Matrix t = scaled.transpose();
    transposed.compute(t);
    if (transposed.info() == Eigen::Success) dependence_.rows = NullSupport(transposed, n);
    if (dependence_.unknowns.empty()) return false;
    for (int u : dependence_.unknowns)
        if (!floating_ || !floating_(u)) return false;
    deficient_ = true;
    if (firstDeficiency_.Empty()) firstDeficiency_ = dependence_;
    return true;
}

void SparseFactor::FindPins() {
    const double* v = matrix_.valuePtr();
    const long nnz = NonZeros();
    std::fill(rowCount_.begin(), rowCount_.end(), 0);
    const int* outer = matrix_.outerIndexPtr();
    const int* inner = matrix_.innerIndexPtr();
    for (long k = 0; k < nnz; ++k)
        if (v[k] != 0.0) ++rowCount_[static_cast<size_t>(inner[k])];
    pins_.clear();
    for (int col = 0; col < matrix_.cols(); ++col)
        for (int k = outer[col]; k < outer[col + 1]; ++k)
            if (v[k] != 0.0 && rowCount_[static_cast<size_t>(inner[k])] == 1) pins_.push_back({inner[k], col, v[k]});
}

bool SparseFactor::Solve(const double* b, double* x) {
    const Eigen::Index n = matrix_.rows();
    rhs_ = Eigen::Map<const Eigen::VectorXd>(b, n);
    Eigen::Map<Eigen::VectorXd> solution(x, n);
    if (!deficient_) {
        solution = rhs_;
        lu_->Solve(x);
    } else {
        solution = colScale_.asDiagonal() * Eigen::VectorXd(qr_.solve(Eigen::VectorXd(rowScale_.asDiagonal() * rhs_)));
        // A least-squares solution that leaves a residual beyond rounding:
        // the dependent rows ask for different things.
        check_ = matrix_ * solution - rhs_;
        if (!(check_.norm() <= 1e-6 * rhs_.norm() + 1e-12)) return false;
    }
    for (const Pin& pin : pins_) x[pin.col] = rhs_[pin.row] / pin.value;
    return true;
}

} // namespace dvx::sim

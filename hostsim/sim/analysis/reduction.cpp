#include "hostsim/sim/analysis/reduction.h"

#include "hostsim/sim/base/error.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>
#include <Eigen/SparseQR>

#include <cmath>
#include <complex>
#include <string>

namespace dvx::sim {

namespace {

using Sparse = Eigen::SparseMatrix<double>;

// Which unknowns and rows carry a derivative.
struct Split {
    std::vector<int> d, z, rowsB, rowsA; // D, Z, rows with and without B
    std::vector<int> posD;               // per unknown, its place in D or -1
};

Split SplitUnknowns(const Sparse& b) {
    const int n = static_cast<int>(b.rows());
    std::vector<char> col(static_cast<size_t>(n), 0), row(static_cast<size_t>(n), 0);
    for (int k = 0; k < b.outerSize(); ++k)
        for (Sparse::InnerIterator it(b, k); it; ++it)
            if (it.value() != 0.0) {
                col[static_cast<size_t>(it.col())] = 1;
                row[static_cast<size_t>(it.row())] = 1;
            }
    Split s;
    s.posD.assign(static_cast<size_t>(n), -1);
    for (int i = 0; i < n; ++i) {
        if (col[static_cast<size_t>(i)]) {
            s.posD[static_cast<size_t>(i)] = static_cast<int>(s.d.size());
            s.d.push_back(i);
        } else {
            s.z.push_back(i);
        }
        (row[static_cast<size_t>(i)] ? s.rowsB : s.rowsA).push_back(i);
    }
    return s;
}

// The rows and columns of `m` that `rows` and `cols` name, renumbered.
Sparse Block(const Sparse& m, const std::vector<int>& rows, const std::vector<int>& cols) {
    std::vector<int> rowAt(static_cast<size_t>(m.rows()), -1);
    for (size_t i = 0; i < rows.size(); ++i) rowAt[static_cast<size_t>(rows[i])] = static_cast<int>(i);
    std::vector<Eigen::Triplet<double>> t;
    for (size_t j = 0; j < cols.size(); ++j)
        for (Sparse::InnerIterator it(m, cols[j]); it; ++it)
            if (const int r = rowAt[static_cast<size_t>(it.row())]; r >= 0 && it.value() != 0.0)
                t.emplace_back(r, static_cast<int>(j), it.value());
    Sparse out(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(cols.size()));
    out.setFromTriplets(t.begin(), t.end());
    out.makeCompressed();
    return out;
}

// The constraints on the differential unknowns alone, one per row, each
// scaled to unit length.
Eigen::MatrixXd Constraints(const Sparse& a, const Split& s) {
    if (s.rowsA.empty()) return Eigen::MatrixXd(0, static_cast<Eigen::Index>(s.d.size()));
    const Sparse ad = Block(a, s.rowsA, s.d);
    Eigen::MatrixXd c;
    if (s.z.empty()) {
        c = Eigen::MatrixXd(ad);
    } else {
        Sparse az = Block(a, s.rowsA, s.z);
        Eigen::SparseQR<Sparse, Eigen::COLAMDOrdering<int>> qr;
        qr.compute(az);
        if (qr.info() != Eigen::Success) throw SimError("the linearised equations could not be analysed (sparse QR)");
        const Eigen::Index rows = az.rows(), nullity = rows - qr.rank();
        if (nullity == 0) return Eigen::MatrixXd(0, static_cast<Eigen::Index>(s.d.size()));
        Eigen::MatrixXd pick = Eigen::MatrixXd::Zero(rows, nullity);
        pick.bottomRows(nullity).setIdentity();
        const Eigen::MatrixXd y = qr.matrixQ() * pick;
        c = (Sparse(ad.transpose()) * y).transpose();
    }
    for (Eigen::Index r = 0; r < c.rows(); ++r)
        if (const double norm = c.row(r).norm(); norm > 0.0) c.row(r) /= norm;
    return c;
}

// The shift: the geometric mean over the rows with a derivative of
// sum|A|/sum|B|, a rate of the order of the model's own, so that mu spreads
// about 1 and lambda = sigma - 1/mu keeps its digits at both ends.
double Shift(const Sparse& a, const Sparse& b) {
    Eigen::VectorXd sa = Eigen::VectorXd::Zero(a.rows()), sb = Eigen::VectorXd::Zero(b.rows());
    for (int k = 0; k < a.outerSize(); ++k)
        for (Sparse::InnerIterator it(a, k); it; ++it) sa[it.row()] += std::abs(it.value());
    for (int k = 0; k < b.outerSize(); ++k)
        for (Sparse::InnerIterator it(b, k); it; ++it) sb[it.row()] += std::abs(it.value());
    double logs = 0.0;
    int count = 0;
    for (Eigen::Index i = 0; i < a.rows(); ++i)
        if (sa[i] > 0.0 && sb[i] > 0.0) {
            logs += std::log(sa[i] / sb[i]);
            ++count;
        }
    return count > 0 ? std::exp(logs / count) : 1.0;
}

// Columns of N*Q solved at a time: bounds the dense right-hand sides.
constexpr Eigen::Index kBlock = 256;
// A mu this small beside the largest is an eigenvalue at infinity that the
// constraints did not remove (a higher index); it has no finite mode.
constexpr double kInfinite = 1e-13;

} // namespace

Reduction FiniteEigenvalues(const Sparse& a, const Sparse& b) {
    const Split s = SplitUnknowns(b);
    Reduction out;
    out.differential = s.d;
    const auto nd = static_cast<Eigen::Index>(s.d.size());
    if (nd == 0) return out;

    // An orthonormal basis of ker C; the identity when nothing constrains D.
    const Eigen::MatrixXd c = Constraints(a, s);
    Eigen::MatrixXd basis;
    bool whole = true;
    if (c.rows() > 0) {
        Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(c.transpose());
        out.constraints = static_cast<int>(qr.rank());
        if (out.constraints > 0) {
            whole = false;
            const Eigen::MatrixXd q = qr.householderQ();
            basis = q.rightCols(nd - out.constraints);
        }
    }
    const Eigen::Index r = whole ? nd : basis.cols();
    if (r == 0) return out;

    const Sparse bd = Block(b, [&] {
        std::vector<int> all(static_cast<size_t>(b.rows()));
        for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
        return all;
    }(), s.d);
    Eigen::SparseLU<Sparse, Eigen::COLAMDOrdering<int>> lu;
    Eigen::MatrixXd reduced(r, r);
    double sigma = Shift(a, b);
    bool solved = false;
    // A shift that happens to hit an eigenvalue makes A + sigma*B singular:
    // then another one, away from it.
    for (int attempt = 0; attempt < 3 && !solved; ++attempt, sigma *= 2.718281828459045) {
        Sparse m = a + sigma * b;
        m.makeCompressed();
        lu.analyzePattern(m);
        lu.factorize(m);
        if (lu.info() != Eigen::Success) continue;
        for (Eigen::Index j = 0; j < r; j += kBlock) {
            const Eigen::Index cols = std::min(kBlock, r - j);
            const Eigen::MatrixXd rhs =
                whole ? Eigen::MatrixXd(bd.middleCols(j, cols)) : Eigen::MatrixXd(bd * basis.middleCols(j, cols));
            const Eigen::MatrixXd x = lu.solve(rhs);
            Eigen::MatrixXd xd(nd, cols);
            for (Eigen::Index i = 0; i < nd; ++i) xd.row(i) = x.row(s.d[static_cast<size_t>(i)]);
            reduced.middleCols(j, cols) = whole ? xd : Eigen::MatrixXd(basis.transpose() * xd);
        }
        solved = reduced.allFinite();
        out.shift = sigma;
    }
    if (!solved)
        throw SimError("the linearised equations have no unique solution (A + sigma*B is singular for every shift "
                       "tried): a part of the model is not held by anything");

    Eigen::EigenSolver<Eigen::MatrixXd> eigen(reduced, true);
    if (eigen.info() != Eigen::Success) throw SimError("the eigenvalue iteration did not converge");
    const Eigen::VectorXcd mu = eigen.eigenvalues();
    const double largest = mu.cwiseAbs().maxCoeff();
    std::vector<Eigen::Index> finite;
    for (Eigen::Index k = 0; k < r; ++k)
        if (std::abs(mu[k]) > kInfinite * largest) finite.push_back(k);
    out.lambda.resize(static_cast<Eigen::Index>(finite.size()));
    Eigen::MatrixXcd v(r, static_cast<Eigen::Index>(finite.size()));
    const Eigen::MatrixXcd all = eigen.eigenvectors();
    for (size_t k = 0; k < finite.size(); ++k) {
        const auto i = static_cast<Eigen::Index>(k);
        out.lambda[i] = out.shift - 1.0 / mu[finite[k]];
        v.col(i) = all.col(finite[k]);
    }
    out.vectors = whole ? v : Eigen::MatrixXcd(basis.cast<std::complex<double>>() * v);
    return out;
}

Eigen::VectorXcd DenseEigenvalues(const Eigen::MatrixXd& m) {
    Eigen::EigenSolver<Eigen::MatrixXd> eigen(m, false);
    if (eigen.info() != Eigen::Success) return {};
    return eigen.eigenvalues();
}

} // namespace dvx::sim

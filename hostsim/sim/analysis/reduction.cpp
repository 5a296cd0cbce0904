#include "hostsim/sim/analysis/reduction.h"

#include "hostsim/sim/analysis/pencil.h"

#include "hostsim/sim/base/error.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>

#include <cmath>
#include <limits>
#include <complex>
#include <string>

namespace dvx::sim {

namespace {

using Sparse = Eigen::SparseMatrix<double>;

// Columns of N*Q solved at a time: bounds the dense right-hand sides.
constexpr Eigen::Index kBlock = 256;
// A mu this small beside the largest is an eigenvalue at infinity that the
// constraints did not remove (a higher index); it has no finite mode.
constexpr double kInfinite = 1e-13;

} // namespace

Reduction FiniteEigenvalues(const Sparse& a, const Sparse& b) {
    const PencilSplit s = SplitUnknowns(b);
    Reduction out;
    out.differential = s.d;
    out.solver = "dense";
    out.complete = std::numeric_limits<double>::infinity();
    out.rate = ModelRate(a, b);
    const auto nd = static_cast<Eigen::Index>(s.d.size());
    if (nd == 0) return out;

    // An orthonormal basis of ker C; the identity when nothing constrains D.
    const ConstraintSpace space = Constraints(a, s, true);
    out.constraints = space.rank;
    const bool whole = space.rank == 0;
    const Eigen::MatrixXd& basis = space.basis;
    const Eigen::Index r = whole ? nd : nd - space.rank;
    if (r == 0) return out;

    const Sparse bd = ColumnsAtD(b, s);
    Eigen::SparseLU<Sparse, Eigen::COLAMDOrdering<int>> lu;
    Eigen::MatrixXd reduced(r, r);
    double sigma = out.rate;
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

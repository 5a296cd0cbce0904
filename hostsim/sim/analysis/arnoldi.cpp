// The sparse path of the modes: Arnoldi's method with implicit restarts
// (Spectra's GenEigsSolver) on mu*x = [(A + sigma*B)^-1 * B * x]_D, whose
// largest mu = 1/(sigma - lambda) are the eigenvalues nearest the shift.
#include "hostsim/sim/analysis/reduction.h"

#include "hostsim/sim/analysis/pencil.h"
#include "hostsim/sim/base/error.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>
// GCC 12 takes a vector that Spectra's Hessenberg eigensolver resizes in a
// loop for a use after free (a false positive of -Wuse-after-free, reported
// where Eigen's free is inlined): silenced for this one header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
#include <Spectra/GenEigsSolver.h>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

#include <algorithm>
#include <cmath>
#include <string>

namespace dvx::sim {

namespace {

using Sparse = Eigen::SparseMatrix<double>;

// The shift, 1e-4 of the model's rate: below the modes of interest, so
// that mu orders the eigenvalues by |lambda| and the lowest are far apart
// in mu; a rigid-body mode's mu = 1/sigma is merely the largest. Not much
// less: A is singular where a rigid-body mode is, and A + sigma*B so close
// to it that the solves lose the digits of the other modes (a millionth
// gave Ritz values of nothing). Positive, so that it meets no decaying real
// eigenvalue.
constexpr double kShiftShare = 1e-4;
constexpr double kTolerance = 1e-13;
constexpr int kIterations = 3000;
// A mu this small beside the largest is no finite eigenvalue.
constexpr double kInfinite = 1e-13;

// y = [(A + sigma*B)^-1 * B_{:,D} * P*x]_D, one sparse solve, P the
// orthogonal projection onto ker C. The operator maps into ker C, so with
// P it is zero on the constraints' directions instead of nilpotent there:
// a nilpotent part, coupled to the rest by terms of order 1/sigma, would
// make the operator so far from normal that Arnoldi's Ritz values stray
// from its eigenvalues.
class ShiftInvert {
public:
    using Scalar = double;
    ShiftInvert(const Eigen::SparseLU<Sparse, Eigen::COLAMDOrdering<int>>& lu, const Sparse& bd,
                const std::vector<int>& d, const ConstraintSpace& space)
        : lu_(lu), bd_(bd), d_(d), space_(space), full_(bd.rows()), in_(static_cast<Eigen::Index>(d.size())) {}
    Eigen::Index rows() const { return static_cast<Eigen::Index>(d_.size()); }
    Eigen::Index cols() const { return rows(); }
    void perform_op(const double* in, double* out) const {
        in_ = Eigen::Map<const Eigen::VectorXd>(in, rows());
        space_.Project(in_);
        full_ = bd_ * in_;
        full_ = lu_.solve(full_);
        for (size_t i = 0; i < d_.size(); ++i) out[i] = full_[d_[i]];
        ++operations_;
    }
    long Operations() const { return operations_; }

private:
    const Eigen::SparseLU<Sparse, Eigen::COLAMDOrdering<int>>& lu_;
    const Sparse& bd_;
    const std::vector<int>& d_;
    const ConstraintSpace& space_;
    mutable Eigen::VectorXd full_, in_;
    mutable long operations_ = 0;
};

// A start that the operator has passed twice: it lies in ker C, where only
// finite eigenvalues are left for Arnoldi's method to find.
Eigen::VectorXd Start(const ShiftInvert& op) {
    Eigen::VectorXd x(op.rows()), y(op.rows());
    unsigned state = 12345u;
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        x[i] = static_cast<double>(state >> 8) / static_cast<double>(1u << 24) - 0.5;
    }
    op.perform_op(x.data(), y.data());
    op.perform_op(y.data(), x.data());
    return x / x.norm();
}

struct Found {
    Eigen::VectorXcd mu;
    Eigen::MatrixXcd vectors;
};

Found Solve(ShiftInvert& op, Eigen::Index nev) {
    const Eigen::Index ncv = std::min<Eigen::Index>(op.rows(), std::max<Eigen::Index>(2 * nev + 1, nev + 20));
    Spectra::GenEigsSolver<ShiftInvert> eigs(op, nev, ncv);
    const Eigen::VectorXd start = Start(op);
    eigs.init(start.data());
    eigs.compute(Spectra::SortRule::LargestMagn, kIterations, kTolerance, Spectra::SortRule::LargestMagn);
    if (eigs.info() != Spectra::CompInfo::Successful)
        throw SimError("the sparse eigenvalue iteration did not converge for the " + std::to_string(nev) +
                       " eigenvalues nearest zero (use --solver dense)");
    return {eigs.eigenvalues(), eigs.eigenvectors(nev)};
}

} // namespace

std::optional<Reduction> NearestEigenvalues(const Sparse& a, const Sparse& b, const NearestRequest& request) {
    const PencilSplit s = SplitUnknowns(b);
    Reduction out;
    out.differential = s.d;
    out.rate = ModelRate(a, b);
    const ConstraintSpace space = Constraints(a, s, false);
    out.constraints = space.rank;
    const auto nd = static_cast<Eigen::Index>(s.d.size());
    // Arnoldi's method needs room beyond the eigenvalues it is asked for
    // (Spectra: at most n - 2 of n), and one finite eigenvalue more than
    // those, so that the constraints' mu = 0 stay unwanted.
    const Eigen::Index most = std::min<Eigen::Index>(nd - out.constraints - 1, nd - 2);
    // Half as many again as asked: the last of them may be half of a
    // conjugate pair, and those within sigma of the farthest found are not
    // certain (below); a second run would cost more than the margin.
    Eigen::Index nev = request.eigenvalues > 0 ? request.eigenvalues + 1 + request.eigenvalues / 2
                                               : std::min<Eigen::Index>(most, 8);
    nev = std::min(nev, std::max<Eigen::Index>(most, request.eigenvalues));
    if (most < 1 || nev > most) return std::nullopt;

    const Sparse bd = ColumnsAtD(b, s);
    Eigen::SparseLU<Sparse, Eigen::COLAMDOrdering<int>> lu;
    double sigma = kShiftShare * out.rate;
    bool factored = false;
    for (int attempt = 0; attempt < 3 && !factored; ++attempt) {
        if (attempt > 0) sigma *= 2.718281828459045;
        Sparse m = a + sigma * b;
        m.makeCompressed();
        lu.analyzePattern(m);
        lu.factorize(m);
        factored = lu.info() == Eigen::Success;
    }
    if (!factored)
        throw SimError("the linearised equations have no unique solution (A + sigma*B is singular for every shift "
                       "tried): a part of the model is not held by anything");
    out.shift = sigma;
    ShiftInvert op(lu, bd, s.d, space);
    for (;;) {
        const Found found = Solve(op, nev);
        const double largest = found.mu.cwiseAbs().maxCoeff();
        // Every lambda within `complete` of zero lies within `reach` of
        // sigma, and so among the mu found: those are certain.
        const double reach = 1.0 / found.mu.cwiseAbs().minCoeff();
        const double complete = (reach - sigma) * (1.0 - 1e-9);
        std::vector<Eigen::Index> keep;
        for (Eigen::Index k = 0; k < found.mu.size(); ++k) {
            const std::complex<double> lambda = sigma - 1.0 / found.mu[k];
            if (std::abs(found.mu[k]) > kInfinite * largest && std::abs(lambda) < complete) keep.push_back(k);
        }
        const bool enough = static_cast<Eigen::Index>(keep.size()) >= request.eigenvalues && complete >= request.radius;
        if (enough || nev == most) {
            if (!enough) return std::nullopt;
            out.complete = complete;
            out.lambda.resize(static_cast<Eigen::Index>(keep.size()));
            out.vectors.resize(nd, static_cast<Eigen::Index>(keep.size()));
            for (size_t k = 0; k < keep.size(); ++k) {
                const auto i = static_cast<Eigen::Index>(k);
                out.lambda[i] = sigma - 1.0 / found.mu[keep[k]];
                out.vectors.col(i) = found.vectors.col(keep[k]);
            }
            out.solver = "sparse (shift-and-invert Arnoldi, " + std::to_string(nev) + " eigenvalues, " +
                         std::to_string(op.Operations()) + " solves)";
            return out;
        }
        nev = std::min(most, nev + nev / 2 + 1);
    }
}

} // namespace dvx::sim

// The integrators' sparse LU, at a size below and above the one where a
// native build changes to KLU: solves stay exact to rounding when values
// change under a fixed pattern (KLU's refactorisation reuses the last pivot
// order, which new values can make useless), and singular matrices are
// refused alike.
#include "hostsim/sim/integrators/sparse_factor.h"
#include "hostsim/sim/integrators/sparse_lu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace dvx::sim {
namespace {

using Matrix = Eigen::SparseMatrix<double>;

// 2x2 blocks [[d, 1], [1, d]] down the diagonal, each coupled to the next by
// `coupling`: with d large the diagonal pivots serve; with d = 0 every block
// needs its rows swapped.
Matrix Blocks(int blocks, double d, double coupling) {
    std::vector<Eigen::Triplet<double>> entries;
    for (int b = 0; b < blocks; ++b) {
        const int i = 2 * b;
        entries.insert(entries.end(), {{i, i, d}, {i, i + 1, 1.0}, {i + 1, i, 1.0}, {i + 1, i + 1, d}});
        if (b + 1 < blocks) entries.insert(entries.end(), {{i + 1, i + 2, coupling}, {i + 2, i + 1, coupling}});
    }
    Matrix m(2 * blocks, 2 * blocks);
    m.setFromTriplets(entries.begin(), entries.end());
    m.makeCompressed();
    return m;
}

double RelativeResidual(const Matrix& a, const Eigen::VectorXd& x, const Eigen::VectorXd& b) {
    return (a * x - b).norm() / b.norm();
}

Eigen::VectorXd Rhs(Eigen::Index n) {
    Eigen::VectorXd b(n);
    for (Eigen::Index i = 0; i < n; ++i) b[i] = std::sin(0.37 * static_cast<double>(i) + 1.0);
    return b;
}

class SparseLuSizes : public ::testing::TestWithParam<int> {};

TEST_P(SparseLuSizes, SolvesStayExactWhenNewValuesNeedOtherPivots) {
    const int blocks = GetParam();
    Matrix a = Blocks(blocks, 1e3, 0.5);
    SparseLu lu(a);
    const Eigen::VectorXd b = Rhs(a.rows());
    // Values change under the pattern: diagonal pivots; a diagonal too small
    // to pivot on (a refactorisation on the old order would be rubbish);
    // none at all; then diagonal ones again.
    for (const double d : {1e3, 1e-14, 0.0, 2.0, 1e3}) {
        a = Blocks(blocks, d, 0.5);
        ASSERT_TRUE(lu.Factorize(a)) << lu.Name() << " d = " << d << ": " << lu.Error();
        Eigen::VectorXd x = b;
        lu.Solve(x.data());
        EXPECT_LT(RelativeResidual(a, x, b), 1e-12) << lu.Name() << " d = " << d;
    }
}

TEST_P(SparseLuSizes, SingularMatricesAreRefusedAndTheFactorRecovers) {
    const int blocks = GetParam();
    SparseLu lu(Blocks(blocks, 1.0, 0.5));
    // d = 1 with no coupling: every block [[1, 1], [1, 1]] is singular.
    EXPECT_FALSE(lu.Factorize(Blocks(blocks, 1.0, 0.0))) << lu.Name();
    EXPECT_FALSE(lu.Error().empty()) << lu.Name();
    const Matrix good = Blocks(blocks, 3.0, 0.5);
    ASSERT_TRUE(lu.Factorize(good)) << lu.Name() << ": " << lu.Error();
    const Eigen::VectorXd b = Rhs(good.rows());
    Eigen::VectorXd x = b;
    lu.Solve(x.data());
    EXPECT_LT(RelativeResidual(good, x, b), 1e-12) << lu.Name();
}

// A singular matrix whose null space moves one floating unknown is solved
// by the QR behind the LU, whichever LU refused it.
TEST_P(SparseLuSizes, AFloatingUnknownLeftByASingularMatrixIsSolvedAround) {
    const int blocks = GetParam();
    Matrix a = Blocks(blocks, 3.0, 0.5);
    const int last = static_cast<int>(a.rows()) - 1;
    // The last unknown's column and row emptied (zeros kept in the pattern).
    for (Matrix::InnerIterator it(a, last); it; ++it) it.valueRef() = 0.0;
    for (int col = 0; col < a.outerSize(); ++col)
        for (Matrix::InnerIterator it(a, col); it; ++it)
            if (it.row() == last) it.valueRef() = 0.0;
    SparseFactor factor(a);
    std::copy(a.valuePtr(), a.valuePtr() + a.nonZeros(), factor.Values());
    EXPECT_FALSE(factor.Factorize());
    factor.SetFloating([last](int u) { return u == last; });
    ASSERT_TRUE(factor.Factorize()) << factor.Error();
    EXPECT_TRUE(factor.Deficient());
    EXPECT_EQ(factor.Dependence().unknowns, std::vector<int>{last});
    Eigen::VectorXd b = Rhs(a.rows());
    b[last] = 0.0;
    Eigen::VectorXd x(a.rows());
    ASSERT_TRUE(factor.Solve(b.data(), x.data()));
    EXPECT_LT(RelativeResidual(a, x, b), 1e-10);
}

std::string SizeName(const ::testing::TestParamInfo<int>& info) {
    return (2 * info.param >= kKluUnknowns ? "Large" : "Small") + std::to_string(2 * info.param);
}

INSTANTIATE_TEST_SUITE_P(Unknowns, SparseLuSizes, ::testing::Values(10, static_cast<int>(kKluUnknowns)), SizeName);

TEST(SparseLuChoice, KluTakesTheLargeNetworksWhereTheBuildHasIt) {
    EXPECT_STREQ(SparseLu(Blocks(10, 1.0, 0.5)).Name(), "SparseLU");
#if defined(DVX_HAVE_KLU)
    EXPECT_STREQ(SparseLu(Blocks(static_cast<int>(kKluUnknowns), 1.0, 0.5)).Name(), "KLU");
#else
    EXPECT_STREQ(SparseLu(Blocks(static_cast<int>(kKluUnknowns), 1.0, 0.5)).Name(), "SparseLU");
#endif
}

} // namespace
} // namespace dvx::sim

#include "hostsim/sim/integrators/sparse_lu.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>

#if defined(DVX_HAVE_KLU)
#include <klu.h>
#endif

#include <new>

namespace dvx::sim {

struct SparseLu::EigenFactor {
    Eigen::SparseLU<Eigen::SparseMatrix<double>> lu;
    Eigen::VectorXd b;
};

#if defined(DVX_HAVE_KLU)

namespace {
// Below this reciprocal condition estimate a refactorisation on the old
// pivot order is not trusted, and the matrix is factorised afresh.
constexpr double kRefactorRcond = 1e-12;
} // namespace

struct SparseLu::KluFactor {
    klu_common common{};
    klu_symbolic* symbolic = nullptr;
    klu_numeric* numeric = nullptr;
    int n = 0;
    KluFactor() = default;
    KluFactor(const KluFactor&) = delete;
    KluFactor& operator=(const KluFactor&) = delete;
    ~KluFactor() {
        if (numeric != nullptr) klu_free_numeric(&numeric, &common);
        if (symbolic != nullptr) klu_free_symbolic(&symbolic, &common);
    }
};

namespace {

// KLU takes the arrays as non-const; it reads them only.
int* Starts(const Eigen::SparseMatrix<double>& m) { return const_cast<int*>(m.outerIndexPtr()); }
int* Rows(const Eigen::SparseMatrix<double>& m) { return const_cast<int*>(m.innerIndexPtr()); }
double* Values(const Eigen::SparseMatrix<double>& m) { return const_cast<double*>(m.valuePtr()); }

} // namespace

#else

struct SparseLu::KluFactor {};

#endif

SparseLu::SparseLu(const Eigen::SparseMatrix<double>& matrix) {
#if defined(DVX_HAVE_KLU)
    if (matrix.rows() >= kKluUnknowns) {
        klu_ = std::make_unique<KluFactor>();
        KluFactor& k = *klu_;
        klu_defaults(&k.common);
        k.n = static_cast<int>(matrix.rows());
        k.symbolic = klu_analyze(k.n, Starts(matrix), Rows(matrix), &k.common);
        if (k.symbolic == nullptr) throw std::bad_alloc();
        return;
    }
#endif
    eigen_ = std::make_unique<EigenFactor>();
    eigen_->lu.analyzePattern(matrix);
}

SparseLu::~SparseLu() = default;

const char* SparseLu::Name() const { return klu_ ? "KLU" : "SparseLU"; }

bool SparseLu::Factorize(const Eigen::SparseMatrix<double>& matrix) {
#if defined(DVX_HAVE_KLU)
    if (klu_) {
        KluFactor& k = *klu_;
        if (k.numeric != nullptr && klu_refactor(Starts(matrix), Rows(matrix), Values(matrix), k.symbolic, k.numeric,
                                                 &k.common) != 0 &&
            klu_rcond(k.symbolic, k.numeric, &k.common) != 0 && k.common.rcond >= kRefactorRcond)
            return true;
        if (k.numeric != nullptr) klu_free_numeric(&k.numeric, &k.common);
        k.numeric = klu_factor(Starts(matrix), Rows(matrix), Values(matrix), k.symbolic, &k.common);
        if (k.numeric != nullptr) return true;
        error_ = k.common.status == KLU_SINGULAR ? "the matrix is singular" : "KLU could not factorise the matrix";
        return false;
    }
#endif
    eigen_->lu.factorize(matrix);
    if (eigen_->lu.info() == Eigen::Success) return true;
    error_ = eigen_->lu.lastErrorMessage();
    return false;
}

void SparseLu::Solve(double* x) {
#if defined(DVX_HAVE_KLU)
    if (klu_) {
        klu_solve(klu_->symbolic, klu_->numeric, klu_->n, 1, x, &klu_->common);
        return;
    }
#endif
    Eigen::Map<Eigen::VectorXd> v(x, eigen_->lu.rows());
    eigen_->b = v;
    v = eigen_->lu.solve(eigen_->b);
}

} // namespace dvx::sim

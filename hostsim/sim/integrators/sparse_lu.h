// The LU factorisation under SparseFactor, of a matrix of a fixed pattern
// refactorised with new values again and again.
//
// Networks of kKluUnknowns unknowns and more are factorised by SuiteSparse's
// KLU where the build has it (analysed once, refactorised on the pivot
// order of the last full factorisation while that stays well conditioned):
// there the LU is most of a step's cost, and KLU's is a third of Eigen's.
// Smaller networks, and every network where SuiteSparse is not at hand (the
// Windows build), keep Eigen's SparseLU: their results stay bit for bit
// what they were, and the same on both targets.
#pragma once

#include <Eigen/SparseCore>

#include <memory>
#include <string>

namespace dvx::sim {

inline constexpr Eigen::Index kKluUnknowns = 500;

class SparseLu {
public:
    // Analyses the pattern of `matrix` (compressed, column-major).
    explicit SparseLu(const Eigen::SparseMatrix<double>& matrix);
    ~SparseLu();
    SparseLu(const SparseLu&) = delete;
    SparseLu& operator=(const SparseLu&) = delete;

    // Factorises `matrix` (the analysed pattern, new values). False when it
    // is singular; Error() says how.
    bool Factorize(const Eigen::SparseMatrix<double>& matrix);
    // x = A^-1 x, in place.
    void Solve(double* x);
    const std::string& Error() const { return error_; }
    // "KLU" or "SparseLU": which factorisation this matrix got.
    const char* Name() const;

private:
    struct KluFactor;
    struct EigenFactor;
    std::unique_ptr<KluFactor> klu_;
    std::unique_ptr<EigenFactor> eigen_;
    std::string error_;
};

} // namespace dvx::sim

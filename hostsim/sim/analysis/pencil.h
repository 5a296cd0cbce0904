// The parts of the linearised pencil A*v = -lambda*B*v that both eigenvalue
// solvers take apart the same way: which unknowns carry a derivative (D) and
// which do not (Z), the constraints on D alone, and a shift of the model's
// own rate.
//
// A constraint on differential unknowns alone (a gear between two
// inertias, a stuck clutch, a speed source on an inertia) is a row of
// C = Y^T * A_{R,D}, with R the rows without a derivative and Y the left null
// space of A_{R,Z}. Rows of R that hold no algebraic unknown are rows of C as
// they stand (Y is the identity there), so only the others need a null
// space, which is small: C stays sparse, and its rank and kernel come from a
// sparse QR instead of a dense one (a thousand gears in a row are a thousand
// constraints, which a dense QR took a third of a second over).
#pragma once

#include <Eigen/Dense>
#include <Eigen/SparseCore>

#include <memory>
#include <vector>

namespace dvx::sim {

using SparseMatrix = Eigen::SparseMatrix<double>;

struct PencilSplit {
    std::vector<int> d, z, rowsB, rowsA; // D, Z, rows with and without B
    std::vector<int> posD;               // per unknown, its place in D or -1
};

PencilSplit SplitUnknowns(const SparseMatrix& b);

// The rows and columns of `m` that `rows` and `cols` name, renumbered.
SparseMatrix Block(const SparseMatrix& m, const std::vector<int>& rows, const std::vector<int>& cols);

// B's columns at D, every row kept.
SparseMatrix ColumnsAtD(const SparseMatrix& b, const PencilSplit& s);

// The constraints on D, one per row, each scaled to unit length. Throws
// SimError when the sparse QR of the algebraic part fails.
SparseMatrix ConstraintRows(const SparseMatrix& a, const PencilSplit& s);

// ker C by the sparse QR of C^T = Q*R: its columns past the rank.
class ConstraintSpace {
public:
    int rank = 0;          // independent constraints on D
    Eigen::MatrixXd basis; // an orthonormal basis of ker C (only when asked and rank > 0)

    // x projected orthogonally onto ker C (unchanged without constraints).
    void Project(Eigen::VectorXd& x) const;
    std::shared_ptr<void> qr; // the factorisation, kept for Project
};
// The rank of C and, with `basis`, an orthonormal basis of its kernel.
ConstraintSpace Constraints(const SparseMatrix& a, const PencilSplit& s, bool basis);

// The geometric mean over the rows with a derivative of sum|A|/sum|B|: a
// rate of the order of the model's own [1/s].
double ModelRate(const SparseMatrix& a, const SparseMatrix& b);

} // namespace dvx::sim

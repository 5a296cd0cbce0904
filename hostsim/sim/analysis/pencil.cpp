#include "hostsim/sim/analysis/pencil.h"

#include "hostsim/sim/base/error.h"

#include <Eigen/OrderingMethods>
#include <Eigen/SparseQR>

#include <cmath>

namespace dvx::sim {

namespace {

using QR = Eigen::SparseQR<SparseMatrix, Eigen::COLAMDOrdering<int>>;

// The rows of R that hold an algebraic unknown, and those that do not.
void RowsByZ(const SparseMatrix& a, const PencilSplit& s, std::vector<int>& withZ, std::vector<int>& withoutZ) {
    std::vector<char> isA(static_cast<size_t>(a.rows()), 0), touches(static_cast<size_t>(a.rows()), 0);
    for (int r : s.rowsA) isA[static_cast<size_t>(r)] = 1;
    for (int col : s.z)
        for (SparseMatrix::InnerIterator it(a, col); it; ++it)
            if (it.value() != 0.0) touches[static_cast<size_t>(it.row())] = 1;
    for (int r : s.rowsA) (touches[static_cast<size_t>(r)] ? withZ : withoutZ).push_back(r);
}

} // namespace

PencilSplit SplitUnknowns(const SparseMatrix& b) {
    const int n = static_cast<int>(b.rows());
    std::vector<char> col(static_cast<size_t>(n), 0), row(static_cast<size_t>(n), 0);
    for (int k = 0; k < b.outerSize(); ++k)
        for (SparseMatrix::InnerIterator it(b, k); it; ++it)
            if (it.value() != 0.0) {
                col[static_cast<size_t>(it.col())] = 1;
                row[static_cast<size_t>(it.row())] = 1;
            }
    PencilSplit s;
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

SparseMatrix Block(const SparseMatrix& m, const std::vector<int>& rows, const std::vector<int>& cols) {
    std::vector<int> rowAt(static_cast<size_t>(m.rows()), -1);
    for (size_t i = 0; i < rows.size(); ++i) rowAt[static_cast<size_t>(rows[i])] = static_cast<int>(i);
    std::vector<Eigen::Triplet<double>> t;
    for (size_t j = 0; j < cols.size(); ++j)
        for (SparseMatrix::InnerIterator it(m, cols[j]); it; ++it)
            if (const int r = rowAt[static_cast<size_t>(it.row())]; r >= 0 && it.value() != 0.0)
                t.emplace_back(r, static_cast<int>(j), it.value());
    SparseMatrix out(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(cols.size()));
    out.setFromTriplets(t.begin(), t.end());
    out.makeCompressed();
    return out;
}

SparseMatrix ColumnsAtD(const SparseMatrix& b, const PencilSplit& s) {
    std::vector<int> all(static_cast<size_t>(b.rows()));
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    return Block(b, all, s.d);
}

SparseMatrix ConstraintRows(const SparseMatrix& a, const PencilSplit& s) {
    const auto nd = static_cast<Eigen::Index>(s.d.size());
    std::vector<int> withZ, withoutZ;
    RowsByZ(a, s, withZ, withoutZ);
    std::vector<Eigen::Triplet<double>> t;
    Eigen::Index rows = 0;
    const SparseMatrix plain = Block(a, withoutZ, s.d);
    for (int k = 0; k < plain.outerSize(); ++k)
        for (SparseMatrix::InnerIterator it(plain, k); it; ++it) t.emplace_back(it.row(), it.col(), it.value());
    rows = plain.rows();
    if (!withZ.empty()) {
        const SparseMatrix az = Block(a, withZ, s.z);
        QR qr;
        qr.compute(az);
        if (qr.info() != Eigen::Success) throw SimError("the linearised equations could not be analysed (sparse QR)");
        const Eigen::Index nullity = az.rows() - qr.rank();
        if (nullity > 0) {
            Eigen::MatrixXd pick = Eigen::MatrixXd::Zero(az.rows(), nullity);
            pick.bottomRows(nullity).setIdentity();
            const Eigen::MatrixXd y = qr.matrixQ() * pick;
            const Eigen::MatrixXd c = (SparseMatrix(Block(a, withZ, s.d).transpose()) * y).transpose();
            for (Eigen::Index r = 0; r < c.rows(); ++r)
                for (Eigen::Index j = 0; j < nd; ++j)
                    if (c(r, j) != 0.0) t.emplace_back(rows + r, j, c(r, j));
            rows += c.rows();
        }
    }
    SparseMatrix c(rows, nd);
    c.setFromTriplets(t.begin(), t.end());
    // Unit rows, so that the rank's threshold means the same for each.
    Eigen::VectorXd norm = Eigen::VectorXd::Zero(rows);
    for (int k = 0; k < c.outerSize(); ++k)
        for (SparseMatrix::InnerIterator it(c, k); it; ++it) norm[it.row()] += it.value() * it.value();
    for (int k = 0; k < c.outerSize(); ++k)
        for (SparseMatrix::InnerIterator it(c, k); it; ++it)
            if (norm[it.row()] > 0.0) it.valueRef() /= std::sqrt(norm[it.row()]);
    c.prune(0.0);
    c.makeCompressed();
    return c;
}

ConstraintSpace Constraints(const SparseMatrix& a, const PencilSplit& s, bool basis) {
    ConstraintSpace out;
    const SparseMatrix c = ConstraintRows(a, s);
    if (c.rows() == 0 || c.nonZeros() == 0) return out;
    SparseMatrix ct = c.transpose();
    ct.makeCompressed();
    auto factor = std::make_shared<QR>();
    QR& qr = *factor;
    qr.compute(ct);
    if (qr.info() != Eigen::Success) throw SimError("the constraints of the linearised equations could not be analysed");
    out.rank = static_cast<int>(qr.rank());
    if (out.rank > 0) out.qr = factor;
    const Eigen::Index nd = ct.rows(), free = nd - out.rank;
    if (basis && out.rank > 0 && free > 0) {
        // ker C is the orthogonal complement of C^T's range: Q's last columns.
        Eigen::MatrixXd pick = Eigen::MatrixXd::Zero(nd, free);
        pick.bottomRows(free).setIdentity();
        out.basis = qr.matrixQ() * pick;
    }
    return out;
}

void ConstraintSpace::Project(Eigen::VectorXd& x) const {
    if (!qr) return;
    const QR& f = *static_cast<const QR*>(qr.get());
    Eigen::VectorXd q = f.matrixQ().transpose() * x;
    q.head(rank).setZero();
    x = f.matrixQ() * q;
}

double ModelRate(const SparseMatrix& a, const SparseMatrix& b) {
    Eigen::VectorXd sa = Eigen::VectorXd::Zero(a.rows()), sb = Eigen::VectorXd::Zero(b.rows());
    for (int k = 0; k < a.outerSize(); ++k)
        for (SparseMatrix::InnerIterator it(a, k); it; ++it) sa[it.row()] += std::abs(it.value());
    for (int k = 0; k < b.outerSize(); ++k)
        for (SparseMatrix::InnerIterator it(b, k); it; ++it) sb[it.row()] += std::abs(it.value());
    double logs = 0.0;
    int count = 0;
    for (Eigen::Index i = 0; i < a.rows(); ++i)
        if (sa[i] > 0.0 && sb[i] > 0.0) {
            logs += std::log(sa[i] / sb[i]);
            ++count;
        }
    return count > 0 ? std::exp(logs / count) : 1.0;
}

} // namespace dvx::sim

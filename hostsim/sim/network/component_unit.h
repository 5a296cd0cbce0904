// A placed instance of the loaded component as a unit of the network. Its
// one unknown is the predecessor torque M1; its local variables 0, 1, 2 are
// ROT1's speed, ROT2's speed and M1, and its equations 0, 1, 2 add to
// ROT1's row, ROT2's row and M1's own row.
//
// Each evaluation at a new point (time or variables) is a step call (call
// type 3) with the point's variables; the entries and right-hand side it
// writes are the instance's terms: F[row_k] += value_k * y[col_k] and
// F[r] -= rhs_r, dF/dy = value_k, no dF/dy'.
//
// Its energy account follows from the same terms: the power it takes from
// ROT1 is its term in ROT1's row times ROT1's speed, the power it delivers
// to ROT2 minus its term in ROT2's row times ROT2's speed. For the ideal gear
// these are M1*OMEGA1 and M2*OMEGA2.
#pragma once

#include "hostsim/sim/elements/element.h"
#include "hostsim/sim/session/session.h"

#include <array>

namespace dvx::sim {

class ComponentUnit : public ElementUnit {
public:
    ComponentUnit(Session& session, size_t index, int rot1, int rot2);

    void Build(Builder& b) override;
    // True while every step call has written the same entries and
    // right-hand side as the first.
    bool ExactOnInterpolant() const override { return constant_; }
    void Residual(const Point& p, Rows& f) override;
    void Jacobian(const Point& p, const JacobianSink& j) override;
    void Powers(const Point& p, double* power) override;
    void OutputNames(std::vector<std::string>& names) const override;

    // Every catalogue output at p (a step call at p first, when the last one
    // was elsewhere), in catalogue order.
    void Observe(const Point& p, double* out);
    // The residual of the component's own equation (its local row 2) at p.
    double OwnResidual(const Point& p);
    // Forgets the last step call, so that the next evaluation calls again.
    void Forget() { fresh_ = false; }
    int TorqueUnknown() const { return local_[2]; }

private:
    void Refresh(const Point& p);
    void RefreshUnlessSameTime(const Point& p);

    Session& session_;
    size_t index_;
    std::array<int, 3> local_;
    // Per entry: its Jacobian entry, its global row and column (-1 on the
    // ground) and its local row; one array, so that an evaluation reads
    // few places per instance.
    struct Slot {
        int entry = -1, row = -1, col = -1, localRow = 0;
    };
    std::vector<Slot> slots_;
    // The slots of local row r are byRow_[rowStart_[r] .. rowStart_[r + 1]):
    // the energies and the residual report read one row at a time.
    std::vector<size_t> byRow_;
    std::array<size_t, 4> rowStart_{};
    std::vector<double> values_; // the last step call's entries, then the first's
    std::array<double, 3> rhs_{};
    std::array<double, 3> firstRhs_{};
    bool haveFirst_ = false;
    bool constant_ = true;
    // The point of the last step call.
    bool fresh_ = false;
    double t_ = 0.0;
    std::array<double, 3> vars_{};
    // The torque the instance draws from the node of local row r at the
    // last step call.
    double RowTerm(const Point& p, size_t r) const;

    int in_ = 0, out_ = 0;
};

} // namespace dvx::sim

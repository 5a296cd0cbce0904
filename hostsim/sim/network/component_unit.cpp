#include "hostsim/sim/network/component_unit.h"

#include <algorithm>
#include <cstring>

namespace dvx::sim {

ComponentUnit::ComponentUnit(Session& session, size_t index, int rot1, int rot2)
    : session_(session), index_(index), local_{rot1, rot2, -1} {
    SetLabel(session.At(index).name);
}

void ComponentUnit::Build(Builder& b) {
    local_[2] = b.AddUnknown(Label() + ".M1", UnknownKind::Algebraic, 0.0);
    const PlacedInstance& inst = session_.At(index_);
    const size_t n = inst.rows.size();
    slots_.clear();
    for (size_t k = 0; k < n; ++k) {
        Slot slot;
        slot.localRow = inst.rows[k];
        slot.row = local_[static_cast<size_t>(inst.rows[k])];
        slot.col = local_[static_cast<size_t>(inst.columns[k])];
        slot.entry = b.Entry(slot.row, slot.col);
        slots_.push_back(slot);
    }
    byRow_.clear();
    for (size_t r = 0; r < 3; ++r) {
        rowStart_[r] = byRow_.size();
        for (size_t k = 0; k < n; ++k)
            if (static_cast<size_t>(slots_[k].localRow) == r) byRow_.push_back(k);
    }
    rowStart_[3] = byRow_.size();
    // The entries of the last step call, then those of the first.
    values_.assign(2 * n, 0.0);
    haveFirst_ = false;
    constant_ = true;
    in_ = b.AddEnergy(Label() + " in", EnergyKind::TransmittedIn);
    out_ = b.AddEnergy(Label() + " out", EnergyKind::TransmittedOut);
    fresh_ = false;
}

void ComponentUnit::Refresh(const Point& p) {
    const std::array<double, 3> vars{p.Y(local_[0]), p.Y(local_[1]), p.Y(local_[2])};
    if (fresh_ && p.t == t_ && vars == vars_) return;
    session_.SetTime(p.t);
    session_.Step(index_, vars, values_.data(), rhs_.data());
    const auto last = values_.begin(), first = last + static_cast<std::ptrdiff_t>(slots_.size());
    if (!haveFirst_) {
        std::copy(last, first, first);
        firstRhs_ = rhs_;
        haveFirst_ = true;
    } else if (constant_ && (std::memcmp(&*last, &*first, slots_.size() * sizeof(double)) != 0 ||
                             std::memcmp(rhs_.data(), firstRhs_.data(), sizeof rhs_) != 0)) {
        // Compared as bits: the same values the component gave before. A
        // zero that changes sign counts as a change, which costs a step call
        // later at most; a NaN given again counts as the same.
        constant_ = false;
    }
    fresh_ = true;
    t_ = p.t;
    vars_ = vars;
}

void ComponentUnit::Residual(const Point& p, Rows& f) {
    Refresh(p);
    for (size_t k = 0; k < slots_.size(); ++k)
        if (values_[k] != 0.0) f.Add(slots_[k].row, values_[k] * p.Y(slots_[k].col));
    for (size_t r = 0; r < 3; ++r) f.Add(local_[r], -rhs_[r]);
}

double ComponentUnit::RowTerm(const Point& p, size_t r) const {
    double sum = -rhs_[r];
    for (size_t i = rowStart_[r]; i < rowStart_[r + 1]; ++i) {
        const size_t k = byRow_[i];
        sum += values_[k] * p.Y(slots_[k].col);
    }
    return sum;
}

double ComponentUnit::OwnResidual(const Point& p) {
    RefreshUnlessSameTime(p);
    return RowTerm(p, 2);
}

// For the energies and the residual that reports a solution point, the
// entries of the last step call are taken as they stand when that call was
// at the same time (just after the evaluation that found the point, whose
// entries differ from the point's only where the component's entries depend
// on the variables), or when no step call has ever changed them. This
// saves a step call per instance and solution point.
void ComponentUnit::RefreshUnlessSameTime(const Point& p) {
    if (!fresh_ || (p.t != t_ && !constant_)) Refresh(p);
}

void ComponentUnit::Jacobian(const Point& p, const JacobianSink& j) {
    Refresh(p);
    for (size_t k = 0; k < slots_.size(); ++k) j.Add(slots_[k].entry, values_[k]);
}

void ComponentUnit::Observe(const Point& p, double* out) {
    Refresh(p);
    session_.ReadOutputs(index_, out);
}

void ComponentUnit::Powers(const Point& p, double* power) {
    RefreshUnlessSameTime(p);
    power[in_] = RowTerm(p, 0) * p.Y(local_[0]);
    power[out_] = -RowTerm(p, 1) * p.Y(local_[1]);
}

void ComponentUnit::OutputNames(std::vector<std::string>& names) const {
    names.insert(names.end(), session_.OutputNames().begin(), session_.OutputNames().end());
}

} // namespace dvx::sim

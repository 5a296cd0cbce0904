// The one interface every part of a network implements: the element types of
// model files (elements/), and the component's placed instances.
//
// The network is F(t, y, y') = 0. Its unknowns are the node speeds (unknown
// and row n belong to node n), then whatever each unit adds (a spring's
// torque, a gear's torque M1, a friction torque, ...). Node rows read "sum of
// the torques drawn from the node = 0"; a unit adds to the rows of the nodes
// it touches and owns the rows of the unknowns it adds.
//
// A unit is evaluated, never asked to integrate: the integrators see only
// Residual and Jacobian. Hybrid units keep a mode that changes only at
// events (Settle), never inside Residual between Newton iterations.
#pragma once

#include <string>
#include <vector>

namespace dvx::sim {

// Where the network is evaluated. Index -1 is the fixed ground: its speed
// and every derivative there read 0.
struct Point {
    double t = 0.0;
    const double* y = nullptr;
    const double* yp = nullptr;

    double Y(int i) const { return i < 0 ? 0.0 : y[i]; }
    double Yp(int i) const { return i < 0 ? 0.0 : yp[i]; }
};

// Residual rows; additions to the ground's row are dropped.
class Rows {
public:
    explicit Rows(double* f) : f_(f) {}
    void Add(int row, double value) const {
        if (row >= 0) f_[row] += value;
    }

private:
    double* f_;
};

// dF/dy + cj*dF/dy' at the declared entries (Builder::Entry); entry -1
// (one end on the ground) is dropped.
class JacobianSink {
public:
    JacobianSink(double* values, const int* positions, double cj)
        : values_(values), positions_(positions), cj_(cj) {}
    double Cj() const { return cj_; }
    void Add(int entry, double value) const {
        if (entry >= 0) values_[positions_[entry]] += value;
    }

private:
    double* values_;
    const int* positions_;
    double cj_;
};

// Differential unknowns appear with their derivative in some row; algebraic
// ones (torques of constraints, speeds of massless nodes) do not, and stay
// out of the integrator's error test.
enum class UnknownKind { Differential, Algebraic };

// What a unit's energy account adds up. Supplied and dissipated enter the
// model's balance; transmitted power (a gear's in and out) is only shown.
enum class EnergyKind { Supplied, Dissipated, TransmittedIn, TransmittedOut };

class Builder {
public:
    virtual ~Builder() = default;
    // A new unknown with its own row; returns its index.
    virtual int AddUnknown(const std::string& label, UnknownKind kind, double initial) = 0;
    // The unknown appears with its derivative (a node under an inertia).
    virtual void MarkDifferential(int unknown) = 0;
    // A Jacobian entry the unit will write, in any mode; -1 when the row or
    // the column is the ground.
    virtual int Entry(int row, int col) = 0;
    // An energy integral: the unit's Powers() writes its power [W] at this
    // index, and the integrators integrate it alongside the state.
    virtual int AddEnergy(const std::string& label, EnergyKind kind) = 0;
    // Zero-crossing functions the unit evaluates; returns the first index.
    virtual int AddCrossings(int count) = 0;
};

class ElementUnit {
public:
    virtual ~ElementUnit() = default;

    // The element's label in messages and in the summary: its name, or the
    // type and the place in the model file.
    const std::string& Label() const { return label_; }
    void SetLabel(std::string label) { label_ = std::move(label); }

    // Declares unknowns, Jacobian entries, energies and crossings, once per
    // network.
    virtual void Build(Builder& b) = 0;
    // Adds the unit's terms of F at p.
    virtual void Residual(const Point& p, Rows& f) = 0;
    // Adds the unit's terms of dF/dy + cj*dF/dy' at p; called after
    // Residual at the same point.
    virtual void Jacobian(const Point& p, const JacobianSink& j) = 0;

    // True while the unit's terms are linear in y and y' with coefficients
    // and constants that have never changed. IDA's interpolant between two
    // steps is a combination of solution points with weights that sum to
    // one, so it satisfies such terms exactly; a sample needs to be made
    // consistent only where some unit's terms move with time or bend.
    virtual bool ExactOnInterpolant() const { return false; }

    // Times in (from, to] where an input of the unit jumps or bends.
    virtual void Breakpoints(double /*from*/, double /*to*/, std::vector<double>& /*times*/) const {}

    // Powers of the energies declared with AddEnergy, at a solution point.
    virtual void Powers(const Point& /*p*/, double* /*power*/) {}
    // Energy stored in the unit at p [J] (inertias, springs).
    virtual double Stored(const Point& /*p*/) const { return 0.0; }

    // Zero-crossing functions at p, written at the unit's first crossing
    // index. A mode change is due where one changes sign.
    virtual void Crossings(const Point& /*p*/, double* /*g*/) const {}
    // At an event (the start, a time event, a crossing): the mode that the
    // consistent point p calls for. `fired` holds, per crossing of the unit,
    // the direction in which it crossed (+1, -1) or 0; it is null when the
    // unit's crossings did not fire. Returns true when the mode changed; the
    // network then makes p consistent in the new mode and asks again.
    virtual bool Settle(const Point& /*p*/, const int* /*fired*/) { return false; }
    // The mode chosen from scratch at the start of a run.
    virtual void StartMode(const Point& /*p*/) {}
    // At a start whose modes make the equations singular: gives up the
    // constraint of the mode (a stuck friction element lets go), so that
    // the speeds the rest of the network fixes can be found; StartMode then
    // chooses again from them. True when the unit did.
    virtual bool Loosen() { return false; }
    virtual std::string ModeText() const { return ""; }

    // Named values a run can write (`spring.torque`, `clutch.mode`).
    virtual void OutputNames(std::vector<std::string>& /*names*/) const {}
    virtual void Outputs(const Point& /*p*/, double* /*out*/) const {}

private:
    std::string label_;
};

} // namespace dvx::sim

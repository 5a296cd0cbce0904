// The model as one residual F(t, y, y') = 0, assembled from its units: the
// component's placed instances first, then the elements in model order.
//
// Unknowns and rows are numbered alike: one per node (its speed; its torque
// balance), then whatever each unit adds. The Jacobian's pattern is the
// diagonal and every entry a unit declared, for all of its modes; it is
// fixed for the network's life, so that a factorisation's analysis is done
// once.
#pragma once

#include "hostsim/sim/network/component_unit.h"
#include "hostsim/sim/elements/element.h"
#include "hostsim/sim/model/model.h"
#include "hostsim/sim/session/session.h"

#include <Eigen/SparseCore>

#include <memory>
#include <string>
#include <vector>

namespace dvx::sim {

// A unit's new mode at an event: its label and the mode's text. `round`
// counts the rounds of settling at one event (0 first), since a mode set
// in one round may be changed again in the next.
struct ModeChange {
    std::string element;
    std::string mode;
    int round = 0;
};

struct EnergyAccount {
    std::string label;
    EnergyKind kind;
    size_t unit = 0;    // index into Units()
    double value = 0.0; // [J], integrated from the start
};

class Network {
public:
    Network(const Model& model, Session& session);

    int Size() const { return static_cast<int>(initial_.size()); }
    const std::vector<double>& Initial() const { return initial_; }
    const std::vector<UnknownKind>& Kinds() const { return kinds_; }
    const std::string& Label(int unknown) const { return labels_[static_cast<size_t>(unknown)]; }

    // The pattern, every value 0.
    const Eigen::SparseMatrix<double>& Pattern() const { return pattern_; }

    void Residual(double t, const double* y, const double* yp, double* f);
    // dF/dy + cj*dF/dy' into the values of a matrix with Pattern()'s
    // structure.
    void Jacobian(double t, const double* y, const double* yp, double cj, double* values);

    // The sorted time events in (from, to]: every breakpoint of the
    // elements' waveforms and of the named quantities.
    std::vector<double> Breakpoints(double from, double to) const;

    int CrossingCount() const { return crossings_; }
    void Crossings(double t, const double* y, const double* yp, double* g) const;
    // Asks every unit for the mode that the point calls for; `fired` holds
    // the direction of each crossing that fired (or null). True when any mode
    // changed.
    bool Settle(double t, const double* y, const double* yp, const int* fired);
    void StartModes(double t, const double* y, const double* yp);
    // The units whose mode changed at the last Settle, in unit order, with
    // `round` 0; and the same as text for messages ("clutch stuck, ...").
    std::vector<ModeChange> ModeChanges() const;
    std::string ModeReport() const;
    // Asks every unit to give up the constraints of its mode for a start
    // that they make singular; true when any did.
    bool Loosen();

    // The states of units (a spring's torque) that the consistent start `y`
    // moved away from the model's initial values, as warnings.
    void NoteMovedStates(const std::vector<double>& y, std::vector<std::string>& warnings) const;

    int NodeCount() const { return static_cast<int>(model_.nodes.size()); }
    // Whether a singular matrix may leave the unknown undetermined: the
    // algebraic torques of units (those of constraints that fix the same
    // speeds), never a speed or a state.
    bool MayFloat(int unknown) const;
    // Row r in words ("the torque balance of node 'a'", "the equation of
    // 'gear'"), and the labels of the units with terms in it.
    std::string RowText(int row) const;
    std::vector<std::string> RowUnits(int row) const;

    // The instances whose outputs a sample reads (model indices; all of
    // them unless set) and the elements whose outputs follow theirs (none
    // unless set).
    void SetRecorded(std::vector<size_t> instances, std::vector<const ElementUnit*> elements = {});
    // At a solution point: the recorded instances' outputs through call
    // type 6 (catalogue order, instance after instance), after step calls
    // where the last one was elsewhere; then each recorded element's
    // outputs (ElementUnit::OutputNames order).
    void Observe(double t, const double* y, const double* yp, std::vector<double>& outputs);
    // Every energy's power at a solution point.
    void Powers(double t, const double* y, const double* yp, std::vector<double>& powers);
    // True when IDA's interpolant satisfies every unit's terms exactly.
    bool ExactOnInterpolant() const;
    // The residual of instance i's own equation at a point.
    double InstanceResidual(size_t i, double t, const double* y);
    size_t OutputsPerInstance() const { return outputsPerInstance_; }
    size_t InstanceCount() const { return components_.size(); }

    std::vector<EnergyAccount>& Energies() { return energies_; }
    size_t EnergyCount() const { return energies_.size(); }
    // Energy stored in every unit at a point, summed [J].
    double Stored(double t, const double* y) const;

    const std::vector<ElementUnit*>& Units() const { return units_; }

private:
    class Assembly;

    const Model& model_;
    std::vector<std::unique_ptr<ComponentUnit>> components_;
    std::vector<ElementUnit*> units_;
    std::vector<ElementUnit*> energyUnits_; // the units that declared energies
    std::vector<double> initial_;
    std::vector<UnknownKind> kinds_;
    std::vector<std::string> labels_;
    std::vector<size_t> owners_;                // per unknown: its unit, or npos for a node
    std::vector<std::vector<size_t>> rowUnits_; // per row: the units with entries in it
    Eigen::SparseMatrix<double> pattern_;
    std::vector<int> positions_; // per declared entry, its place in the values
    std::vector<EnergyAccount> energies_;
    std::vector<int> firstCrossing_; // per unit
    std::vector<int> crossingCount_; // per unit
    int crossings_ = 0;
    std::vector<size_t> changed_; // units whose mode the last Settle changed
    size_t outputsPerInstance_ = 0;
    std::vector<size_t> recorded_;
    std::vector<const ElementUnit*> recordedElements_;
    std::vector<size_t> elementOutputCounts_; // per recorded element
    std::vector<double> scratch_;
};

} // namespace dvx::sim

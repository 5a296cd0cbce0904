#include "hostsim/sim/network/network.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace dvx::sim {

// Collects what the units declare while the network is built.
class Network::Assembly : public Builder {
public:
    explicit Assembly(Network& n) : n_(n) {}

    int AddUnknown(const std::string& label, UnknownKind kind, double initial) override {
        n_.labels_.push_back(label);
        n_.owners_.push_back(unit);
        n_.kinds_.push_back(kind);
        n_.initial_.push_back(initial);
        return static_cast<int>(n_.initial_.size()) - 1;
    }
    void MarkDifferential(int unknown) override {
        if (unknown >= 0) n_.kinds_[static_cast<size_t>(unknown)] = UnknownKind::Differential;
    }
    int Entry(int row, int col) override {
        if (row < 0 || col < 0) return -1;
        entries.emplace_back(row, col);
        if (static_cast<size_t>(row) >= n_.rowUnits_.size()) n_.rowUnits_.resize(static_cast<size_t>(row) + 1);
        std::vector<size_t>& units = n_.rowUnits_[static_cast<size_t>(row)];
        if (std::find(units.begin(), units.end(), unit) == units.end()) units.push_back(unit);
        return static_cast<int>(entries.size()) - 1;
    }
    int AddEnergy(const std::string& label, EnergyKind kind) override {
        n_.energies_.push_back({label, kind, unit, 0.0});
        return static_cast<int>(n_.energies_.size()) - 1;
    }
    int AddCrossings(int count) override {
        const int first = n_.crossings_;
        n_.crossings_ += count;
        unitCrossings += count;
        return first;
    }

    std::vector<std::pair<int, int>> entries;
    int unitCrossings = 0;
    size_t unit = 0; // the unit being built

private:
    Network& n_;
};

Network::Network(const Model& model, Session& session) : model_(model) {
    for (size_t n = 0; n < model.nodes.size(); ++n) {
        labels_.push_back(model.nodes[n].name + ".omega");
        owners_.push_back(std::string::npos);
        kinds_.push_back(UnknownKind::Algebraic);
        initial_.push_back(model.nodes[n].omega0);
    }
    for (size_t i = 0; i < session.Count(); ++i) {
        const Instance& inst = model.instances[i];
        components_.push_back(std::make_unique<ComponentUnit>(session, i, inst.rot1, inst.rot2));
        units_.push_back(components_.back().get());
    }
    for (const ElementRecord& e : model.elements) units_.push_back(e.unit.get());
    outputsPerInstance_ = session.OutputNames().size();
    for (size_t i = 0; i < components_.size(); ++i) recorded_.push_back(i);

    Assembly assembly(*this);
    for (ElementUnit* unit : units_) {
        assembly.unitCrossings = 0;
        assembly.unit = firstCrossing_.size();
        const int first = crossings_;
        const size_t energies = energies_.size();
        unit->Build(assembly);
        if (energies_.size() > energies) energyUnits_.push_back(unit);
        firstCrossing_.push_back(first);
        crossingCount_.push_back(assembly.unitCrossings);
    }

    const int size = Size();
    rowUnits_.resize(static_cast<size_t>(size));
    std::vector<Eigen::Triplet<double>> triplets;
    triplets.reserve(static_cast<size_t>(size) + assembly.entries.size());
    for (int i = 0; i < size; ++i) triplets.emplace_back(i, i, 0.0);
    for (const auto& [row, col] : assembly.entries) triplets.emplace_back(row, col, 0.0);
    pattern_.resize(size, size);
    pattern_.setFromTriplets(triplets.begin(), triplets.end());
    pattern_.makeCompressed();
    for (const auto& [row, col] : assembly.entries) {
        const int* begin = pattern_.innerIndexPtr() + pattern_.outerIndexPtr()[col];
        const int* end = pattern_.innerIndexPtr() + pattern_.outerIndexPtr()[col + 1];
        positions_.push_back(static_cast<int>(std::lower_bound(begin, end, row) - pattern_.innerIndexPtr()));
    }
    scratch_.assign(static_cast<size_t>(size), 0.0);
}

void Network::Residual(double t, const double* y, const double* yp, double* f) {
    std::fill(f, f + Size(), 0.0);
    const Point p{t, y, yp};
    Rows rows(f);
    for (ElementUnit* unit : units_) unit->Residual(p, rows);
}

void Network::Jacobian(double t, const double* y, const double* yp, double cj, double* values) {
    std::fill(values, values + pattern_.nonZeros(), 0.0);
    const Point p{t, y, yp};
    const JacobianSink sink(values, positions_.data(), cj);
    for (ElementUnit* unit : units_) unit->Jacobian(p, sink);
}

std::vector<double> Network::Breakpoints(double from, double to) const {
    std::vector<double> times;
    for (const ElementUnit* unit : units_) unit->Breakpoints(from, to, times);
    for (const Quantity& q : model_.quantities) AddBreakpoints(q.wave, from, to, times);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    return times;
}

void Network::Crossings(double t, const double* y, const double* yp, double* g) const {
    const Point p{t, y, yp};
    for (size_t u = 0; u < units_.size(); ++u)
        if (crossingCount_[u] > 0) units_[u]->Crossings(p, g + firstCrossing_[u]);
}

bool Network::Settle(double t, const double* y, const double* yp, const int* fired) {
    const Point p{t, y, yp};
    changed_.clear();
    for (size_t u = 0; u < units_.size(); ++u) {
        if (crossingCount_[u] == 0) continue;
        const int* mine = fired + firstCrossing_[u];
        const bool any = fired != nullptr && std::any_of(mine, mine + crossingCount_[u], [](int d) { return d != 0; });
        if (units_[u]->Settle(p, any ? mine : nullptr)) changed_.push_back(u);
    }
    return !changed_.empty();
}

void Network::StartModes(double t, const double* y, const double* yp) {
    const Point p{t, y, yp};
    for (ElementUnit* unit : units_) unit->StartMode(p);
}

std::vector<ModeChange> Network::ModeChanges() const {
    std::vector<ModeChange> modes;
    for (size_t u : changed_) modes.push_back({units_[u]->Label(), units_[u]->ModeText(), 0});
    return modes;
}

std::string Network::ModeReport() const {
    std::string text;
    for (size_t u : changed_) text += (text.empty() ? "" : ", ") + units_[u]->Label() + " " + units_[u]->ModeText();
    return text;
}

void Network::NoteMovedStates(const std::vector<double>& y, std::vector<std::string>& warnings) const {
    for (size_t i = static_cast<size_t>(NodeCount()); i < y.size(); ++i) {
        if (kinds_[i] != UnknownKind::Differential) continue;
        const double given = initial_[i];
        // Rounding of the start's projection is no move (an angle of 0 that
        // starts at -5e-15).
        if (std::abs(y[i] - given) <= 1e-9 * std::max(std::abs(given), std::abs(y[i])) + 1e-12) continue;
        warnings.push_back(labels_[i] + " starts at " + ShortestText(y[i]) + ", not at the model's " +
                           ShortestText(given) + ": the rest of the network fixes it at the start (a node without "
                           "inertia at one of its ends passes on only what the other elements take)");
    }
}

bool Network::Loosen() {
    bool any = false;
    for (ElementUnit* unit : units_) any = unit->Loosen() || any;
    return any;
}

bool Network::MayFloat(int unknown) const {
    const size_t u = static_cast<size_t>(unknown);
    return unknown >= NodeCount() && u < kinds_.size() && kinds_[u] == UnknownKind::Algebraic;
}

std::string Network::RowText(int row) const {
    const size_t r = static_cast<size_t>(row);
    if (row < NodeCount()) return "the torque balance of node '" + model_.nodes[r].name + "'";
    return "the equation of '" + units_[owners_[r]]->Label() + "' (" + labels_[r] + ")";
}

std::vector<std::string> Network::RowUnits(int row) const {
    std::vector<std::string> labels;
    for (size_t u : rowUnits_[static_cast<size_t>(row)]) labels.push_back(units_[u]->Label());
    return labels;
}

void Network::SetRecorded(std::vector<size_t> instances, std::vector<const ElementUnit*> elements) {
    recorded_ = std::move(instances);
    recordedElements_ = std::move(elements);
    elementOutputCounts_.clear();
    std::vector<std::string> names;
    for (const ElementUnit* unit : recordedElements_) {
        names.clear();
        unit->OutputNames(names);
        elementOutputCounts_.push_back(names.size());
    }
}

void Network::Observe(double t, const double* y, const double* yp, std::vector<double>& outputs) {
    const Point p{t, y, yp};
    const size_t instances = recorded_.size() * outputsPerInstance_;
    outputs.resize(instances + std::accumulate(elementOutputCounts_.begin(), elementOutputCounts_.end(), size_t{0}));
    for (size_t r = 0; r < recorded_.size(); ++r)
        components_[recorded_[r]]->Observe(p, &outputs[r * outputsPerInstance_]);
    double* out = outputs.data() + instances;
    for (size_t e = 0; e < recordedElements_.size(); ++e) {
        recordedElements_[e]->Outputs(p, out);
        out += elementOutputCounts_[e];
    }
}

void Network::Powers(double t, const double* y, const double* yp, std::vector<double>& powers) {
    const Point p{t, y, yp};
    powers.resize(energies_.size());
    for (ElementUnit* unit : energyUnits_) unit->Powers(p, powers.data());
}

bool Network::ExactOnInterpolant() const {
    // Without algebraic unknowns nothing is left for the interpolant to miss.
    if (std::find(kinds_.begin(), kinds_.end(), UnknownKind::Algebraic) == kinds_.end()) return true;
    for (const ElementUnit* unit : units_)
        if (!unit->ExactOnInterpolant()) return false;
    return true;
}

double Network::InstanceResidual(size_t i, double t, const double* y) {
    return components_[i]->OwnResidual({t, y, nullptr});
}

double Network::Stored(double t, const double* y) const {
    const Point p{t, y, nullptr};
    double sum = 0.0;
    for (const ElementUnit* unit : units_) sum += unit->Stored(p);
    return sum;
}

} // namespace dvx::sim

#include "hostsim/sim/network.h"

namespace dvx::sim {

Network::Network(const Model& model, const Session& session) {
    int next = static_cast<int>(model.nodes.size());
    instanceBase_ = next;
    next += static_cast<int>(session.Count());
    for (size_t i = 0; i < session.Count(); ++i) {
        const Instance& inst = model.instances[i];
        local_.push_back({inst.rot1, inst.rot2, InstanceUnknown(i)});
    }
    for (const Element& e : model.elements)
        if (e.kind == ElementKind::Spring || e.kind == ElementKind::SpeedSource) ++next;
    size_ = next;
    mass_.assign(static_cast<size_t>(size_), 0.0);
    for (size_t n = 0; n < model.nodes.size(); ++n) initial_.emplace_back(static_cast<int>(n), model.nodes[n].omega0);

    // Adds value at (row, col) unless either lies on the ground.
    auto add = [this](int row, int col, double value) {
        if (row != kGround && col != kGround) static_.push_back({row, col, value});
    };
    int extra = InstanceUnknown(session.Count());
    for (const Element& e : model.elements) {
        switch (e.kind) {
        case ElementKind::Inertia: mass_[static_cast<size_t>(e.a)] += e.value; break;
        case ElementKind::Damper:
            add(e.a, e.a, e.value);
            add(e.a, e.b, -e.value);
            add(e.b, e.a, -e.value);
            add(e.b, e.b, e.value);
            break;
        case ElementKind::Spring: {
            const int s = extra++;
            mass_[static_cast<size_t>(s)] = 1.0;
            add(e.a, s, 1.0);
            add(e.b, s, -1.0);
            add(s, e.a, -e.value);
            add(s, e.b, e.value);
            initial_.emplace_back(s, e.initial);
            break;
        }
        case ElementKind::TorqueSource: sources_.push_back({e.a, &e.wave}); break;
        case ElementKind::SpeedSource: {
            const int s = extra++;
            add(e.a, s, -1.0); // the source supplies its torque to the node
            add(s, e.a, 1.0);
            sources_.push_back({s, &e.wave});
            break;
        }
        }
    }
}

void Network::Forcing(double t, std::vector<double>& u) const {
    u.assign(static_cast<size_t>(size_), 0.0);
    for (const Source& s : sources_) u[static_cast<size_t>(s.row)] += Evaluate(*s.wave, t);
}

std::vector<double> Network::Initial() const {
    std::vector<double> x(static_cast<size_t>(size_), 0.0);
    for (const auto& [index, value] : initial_) x[static_cast<size_t>(index)] = value;
    return x;
}

Eigen::SparseMatrix<double> Network::Pattern(const Session& session) const {
    std::vector<Eigen::Triplet<double>> triplets;
    for (int i = 0; i < size_; ++i) triplets.emplace_back(i, i, 0.0);
    for (const Entry& e : static_) triplets.emplace_back(e.row, e.col, 0.0);
    for (size_t i = 0; i < session.Count(); ++i) {
        const PlacedInstance& inst = session.At(i);
        for (size_t k = 0; k < inst.rows.size(); ++k) {
            const int row = local_[i][static_cast<size_t>(inst.rows[k])];
            const int col = local_[i][static_cast<size_t>(inst.columns[k])];
            if (row != kGround && col != kGround) triplets.emplace_back(row, col, 0.0);
        }
    }
    Eigen::SparseMatrix<double> pattern(size_, size_);
    pattern.setFromTriplets(triplets.begin(), triplets.end());
    pattern.makeCompressed();
    return pattern;
}

} // namespace dvx::sim

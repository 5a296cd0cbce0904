// The network's equations in the form E*dx/dt + A(t)*x = u(t).
//
// Unknowns and equations are numbered alike: first one per node (its speed;
// its torque balance), then one per instance (its torque m1; its own
// equation), one per spring (its torque; d(torque)/dt = c*(w_a - w_b)) and
// one per speed source (the torque it supplies; w = wave(t)). E is diagonal:
// the node's summed inertia, 1 for a spring, 0 for every algebraic row. The
// component's share of A and u comes from its Jacobian entries and
// right-hand side, read on every step.
#pragma once

#include "hostsim/sim/model.h"
#include "hostsim/sim/session.h"

#include <Eigen/SparseCore>

#include <array>
#include <vector>

namespace dvx::sim {

struct Entry {
    int row = 0;
    int col = 0;
    double value = 0.0;
};

class Network {
public:
    Network(const Model& model, const Session& session);

    int Size() const { return size_; }
    // Global unknown of a node, or -1 for the ground.
    int NodeUnknown(int node) const { return node; }
    int InstanceUnknown(size_t i) const { return instanceBase_ + static_cast<int>(i); }
    // Local variable (or equation) 0, 1, 2 of an instance in global numbers;
    // -1 where the instance touches the ground.
    const std::array<int, 3>& Local(size_t i) const { return local_[i]; }

    const std::vector<double>& Mass() const { return mass_; }
    const std::vector<Entry>& Static() const { return static_; }
    // u(t): torque sources into their node rows, speed-source values.
    void Forcing(double t, std::vector<double>& u) const;
    std::vector<double> Initial() const;

    // The sparsity pattern: the diagonal, the static entries and every
    // instance entry that does not touch the ground.
    Eigen::SparseMatrix<double> Pattern(const Session& session) const;

private:
    struct Source {
        int row;
        const Waveform* wave;
    };

    int size_ = 0;
    int instanceBase_ = 0;
    std::vector<std::array<int, 3>> local_;
    std::vector<double> mass_;
    std::vector<Entry> static_;
    std::vector<Source> sources_;
    std::vector<std::pair<int, double>> initial_;
};

} // namespace dvx::sim

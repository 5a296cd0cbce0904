// Steady operating points over a node's speed: the model linearised where
// the node NODE turns steadily at a speed and every kinematic relation
// holds, for the Campbell diagram and the order response.
//
// In a steady state every derivative is zero, so the relations between
// speeds are the rows whose terms are speeds alone: a gear's ratio
// (-omega1/K + omega2 = 0), a stuck clutch or brake, a speed source, and the
// rows of the states that integrate a relative speed (a spring's torque, a
// backlash angle), which at rest say that both ends turn alike (a spring to
// the ground: that its node stands). From NODE's speed they fix the speed of
// every node they reach; a node they do not reach (behind a slipping clutch,
// joined by dampers only) keeps its speed at the base time. The hybrid
// elements keep the modes they have there. The Jacobians then come from
// every element at those speeds: a load's slope over speed, an engine's
// torque curve, the component's step call.
#pragma once

#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/model/model.h"
#include "hostsim/sim/network/network.h"

#include <string>
#include <vector>

namespace dvx::sim {

inline double RpmToRadPerSecond(double rpm) { return rpm * 0.10471975511965977; } // 2*pi/60

// The index of the node named `node`; throws SimError naming `option` and
// listing the nodes when there is none.
int FindNode(const Model& model, const std::string& node, const std::string& option);

class OperatingPoints {
public:
    // `base` is the model linearised at the base time (its state and its
    // modes). Throws SimError naming `node` (given to `option`) when the model
    // has no such node.
    OperatingPoints(const Model& model, Network& network, LinearModel base, const std::string& node,
                    const std::string& option);

    // The model linearised where the node turns at `rpm`. Throws SimError
    // when the relations contradict one another at that speed (a speed
    // source elsewhere that a gear ties to the node).
    LinearModel At(double rpm);
    const LinearModel& Base() const { return base_; }
    int NodeIndex() const { return node_; }

private:
    struct Relation {
        int row, i, j; // omega_j = ratio * omega_i; j < 0: omega_i is held at its base value
        double ratio;
    };
    Network& network_;
    LinearModel base_;
    int node_ = -1;
    int nodes_ = 0;
    std::string name_;
    std::vector<std::vector<size_t>> byNode_; // per node, its relations
    std::vector<Relation> relations_;
};

} // namespace dvx::sim

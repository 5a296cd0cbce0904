// Where a mode lives and what changes it: per mode and element, the shares
// of the mode's kinetic energy (inertias), of its strain energy (springs, a
// backlash in contact) and of the energy dissipated in one cycle (dampers,
// a slipping bearing's viscous part, a load's slope over speed, an engine's
// torque curve, whose share is negative where it feeds the mode); and the
// sensitivity of each natural frequency to each inertia, stiffness and
// damping value, (dw/dp)*(p/w).
//
// Every figure comes from the elements' own equations, not from a table of
// their types: a mode's full eigenvector v (the algebraic unknowns too) moves
// the state harmonically, y = y0 + Re(v*e^(j*w*t)); an element's stored
// energy over a cycle is the mean of its Stored() along Re v and Im v (its
// quadratic part, by central differences), and the energy it dissipates in
// a cycle is pi/w * Re(sum over its node rows of its torque * conj(speed)),
// its torques from its Residual along (v, j*w*v). The component, an ideal
// gear, stores nothing and takes in what it gives out: its rows read 0.
//
// The sensitivities are first-order perturbation theory of the pencil:
// d(lambda)/d(ln p) = -w^H * g / (w^H * B * v), with w the left
// eigenvector (w^H * (A + lambda*B) = 0) and g = p * d(A + lambda*B)/dp * v,
// the part of the element's terms that scales with p: all of an inertia's or
// a damper's, the c*(w_a - w_b) of a spring's own row, a backlash's c*phi and
// d*(w_a - w_b) apart, a bearing's viscous torque.
#pragma once

#include "hostsim/sim/analysis/linearise.h"
#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/model/model.h"
#include "hostsim/sim/network/network.h"

#include <string>
#include <vector>

namespace dvx::sim {

// What a parameter is: the inertia J, a stiffness c, a damping d (a
// bearing's viscous coefficient is a d).
enum class ParameterKind { J = 0, C = 1, D = 2 };

struct ElementModalEnergy {
    std::string element, type; // type "component" for an instance
    // Per mode: its shares (0 where the element holds none of that energy;
    // NaN where the mode has none at all, or, for dissipation, no cycle).
    std::vector<double> kinetic, strain, dissipation;
    // Its parameters' values (NaN where it has none of that kind) and, per
    // mode, the sensitivities (NaN for a rigid-body mode).
    double value[3] = {NAN, NAN, NAN};
    std::vector<double> sensitivity[3];
};

struct ModalEnergy {
    std::vector<ElementModalEnergy> elements; // instances, then elements, in model order
};

ModalEnergy ComputeModalEnergy(const LinearModel& lin, Network& network, const Model& model, const ModeSet& set);

} // namespace dvx::sim

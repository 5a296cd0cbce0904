// The energies of a run, integrated from the powers of the units along the
// integrator's own solution: three-point Gauss-Legendre on each stretch of
// IDA's interpolating polynomial. Exact where the power is a polynomial of
// degree five or less in time; no step call, no effect on the steps. A run
// that keeps no energy account (Settings::energy) adds nothing.
#pragma once

#include "hostsim/sim/network/network.h"

#include <functional>
#include <vector>

namespace dvx::sim {

class EnergyQuadrature {
public:
    EnergyQuadrature(Network& network, bool on) : network_(network), values_(on ? network.EnergyCount() : 0, 0.0) {}

    // Adds the integral of every power over [from, to]; `solution(t, y)`
    // fills y with the solution at t (within the integrator's last step).
    void Add(double from, double to, const std::function<void(double, std::vector<double>&)>& solution);
    const std::vector<double>& Values() const { return values_; }

private:
    Network& network_;
    std::vector<double> values_, y_, powers_;
};

} // namespace dvx::sim

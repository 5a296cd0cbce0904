#include "hostsim/sim/integrators/energy_quadrature.h"

#include <cmath>

namespace dvx::sim {

void EnergyQuadrature::Add(double from, double to, const std::function<void(double, std::vector<double>&)>& solution) {
    if (!(to > from) || values_.empty()) return;
    const double middle = 0.5 * (from + to), half = 0.5 * (to - from);
    const double offset = half * std::sqrt(0.6);
    const double nodes[] = {middle - offset, middle, middle + offset};
    const double weights[] = {5.0 / 9.0, 8.0 / 9.0, 5.0 / 9.0};
    for (int k = 0; k < 3; ++k) {
        solution(nodes[k], y_);
        network_.Powers(nodes[k], y_.data(), nullptr, powers_);
        for (size_t e = 0; e < values_.size(); ++e) values_[e] += half * weights[k] * powers_[e];
    }
}

} // namespace dvx::sim

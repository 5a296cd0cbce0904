#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/base/numbers.h"

#include "hostsim/sim/analysis/reduction.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace dvx::sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<InertiaNode> InertiaNodes(const LinearModel& lin, const Model& model) {
    std::vector<InertiaNode> out;
    for (size_t n = 0; n < model.nodes.size(); ++n) {
        const int i = static_cast<int>(n);
        if (const double j = lin.b.coeff(i, i); j != 0.0) out.push_back({model.nodes[n].name, i, j});
    }
    return out;
}

} // namespace

void ShapeOf(const Eigen::VectorXcd& onD, const std::vector<int>& posD, const std::vector<InertiaNode>& inertias,
             Mode& mode) {
    const size_t n = inertias.size();
    std::vector<std::complex<double>> speed(n);
    size_t largest = 0;
    double energy = 0.0;
    for (size_t k = 0; k < n; ++k) {
        speed[k] = onD[posD[static_cast<size_t>(inertias[k].unknown)]];
        if (std::abs(speed[k]) > std::abs(speed[largest])) largest = k;
        energy += inertias[k].inertia * std::norm(speed[k]);
    }
    mode.amplitude.assign(n, kNaN);
    mode.phaseDeg.assign(n, kNaN);
    mode.energyShare.assign(n, kNaN);
    if (n == 0 || !(energy > 0.0)) return;
    const std::complex<double> reference = speed[largest];
    for (size_t k = 0; k < n; ++k) {
        const std::complex<double> relative = speed[k] / reference;
        mode.amplitude[k] = std::abs(relative);
        mode.phaseDeg[k] = relative == 0.0 ? 0.0 : std::arg(relative) * 180.0 / std::numbers::pi;
        mode.energyShare[k] = inertias[k].inertia * std::norm(speed[k]) / energy;
    }
}

ModeSet ComputeModes(const LinearModel& lin, const Model& model) {
    ModeSet set;
    set.t = lin.t;
    set.unitModes = lin.modes;
    set.unknowns = static_cast<int>(lin.y.size());
    set.inertias = InertiaNodes(lin, model);
    const Reduction r = FiniteEigenvalues(lin.a, lin.b);
    set.differential = static_cast<int>(r.differential.size());
    set.constraints = r.constraints;
    set.shift = r.shift;
    std::vector<int> posD(lin.y.size(), -1);
    for (size_t i = 0; i < r.differential.size(); ++i)
        posD[static_cast<size_t>(r.differential[i])] = static_cast<int>(i);

    double scale = r.shift;
    for (Eigen::Index k = 0; k < r.lambda.size(); ++k) scale = std::max(scale, std::abs(r.lambda[k]));
    for (Eigen::Index k = 0; k < r.lambda.size(); ++k) {
        const std::complex<double> lambda = r.lambda[k];
        Mode mode;
        mode.lambda = lambda;
        mode.rigid = std::abs(lambda) <= kRigidShare * scale;
        if (mode.rigid) {
            // A zero of multiplicity two may come out as a pair +-i*epsilon:
            // two rigid-body modes, whose real shapes are the real and the
            // imaginary part of the one eigenvector.
            Eigen::VectorXcd shape = r.vectors.col(k);
            if (lambda.imag() > 0.0) shape = shape.real().cast<std::complex<double>>();
            else if (lambda.imag() < 0.0) shape = shape.imag().cast<std::complex<double>>();
            mode.lambda = 0.0;
            mode.dampingRatio = kNaN;
            ShapeOf(shape, posD, set.inertias, mode);
        } else {
            if (lambda.imag() < 0.0) continue;
            mode.naturalHz = std::abs(lambda) / (2.0 * std::numbers::pi);
            mode.dampedHz = std::abs(lambda.imag()) / (2.0 * std::numbers::pi);
            mode.dampingRatio = -lambda.real() / std::abs(lambda);
            ShapeOf(r.vectors.col(k), posD, set.inertias, mode);
        }
        set.modes.push_back(std::move(mode));
    }
    std::stable_sort(set.modes.begin(), set.modes.end(), [](const Mode& x, const Mode& y) {
        if (x.rigid != y.rigid) return x.rigid;
        return x.naturalHz < y.naturalHz;
    });
    if (set.modes.empty())
        throw SimError("the model has no finite mode at t = " + TimeText(lin.t) + ": " +
                       std::to_string(set.differential) + " differential unknowns, " +
                       std::to_string(set.constraints) + " of them fixed by constraints");
    return set;
}

} // namespace dvx::sim

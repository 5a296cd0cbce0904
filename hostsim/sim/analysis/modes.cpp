#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/base/numbers.h"

#include "hostsim/sim/analysis/reduction.h"

#include <optional>

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

namespace {

// The reduction's eigenvalues as modes: a conjugate pair is one, a zero
// (within kRigidShare of the scale) a rigid-body mode.
void ModesOf(const Reduction& r, const std::vector<int>& posD, ModeSet& set) {
    double scale = std::max(r.shift, r.rate);
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
            mode.vector = std::move(shape);
        } else {
            if (lambda.imag() < 0.0) continue;
            mode.naturalHz = std::abs(lambda) / (2.0 * std::numbers::pi);
            mode.dampedHz = std::abs(lambda.imag()) / (2.0 * std::numbers::pi);
            mode.dampingRatio = -lambda.real() / std::abs(lambda);
            ShapeOf(r.vectors.col(k), posD, set.inertias, mode);
            mode.vector = r.vectors.col(k);
        }
        set.modes.push_back(std::move(mode));
    }
    std::stable_sort(set.modes.begin(), set.modes.end(), [](const Mode& x, const Mode& y) {
        if (x.rigid != y.rigid) return x.rigid;
        return x.naturalHz < y.naturalHz;
    });
}

Reduction Reduce(const LinearModel& lin, const ModeRequest& q) {
    const bool large = lin.b.nonZeros() > 0 && [&] {
        int columns = 0;
        for (int k = 0; k < lin.b.outerSize(); ++k) columns += lin.b.col(k).nonZeros() > 0 ? 1 : 0;
        return columns > kDenseLimit;
    }();
    const bool sparse = q.solver == Solver::Sparse || (q.solver == Solver::Auto && q.Bounded() && large);
    if (!sparse) return FiniteEigenvalues(lin.a, lin.b);
    NearestRequest near;
    near.eigenvalues = 2 * q.count;
    near.radius = 2.0 * std::numbers::pi * q.belowHz;
    if (std::optional<Reduction> r = NearestEigenvalues(lin.a, lin.b, near)) return std::move(*r);
    if (q.solver == Solver::Sparse)
        throw SimError("--solver sparse: the model has too few finite eigenvalues for the sparse solver to find " +
                       std::string(q.Bounded() ? "the modes asked for" : "every mode") + "; use --solver dense");
    return FiniteEigenvalues(lin.a, lin.b);
}

} // namespace

void CheckModeRequest(const ModeRequest& q) {
    if (q.count < 0) throw SimError("--count " + std::to_string(q.count) + ": the number of modes must be at least 1");
    if (!(q.belowHz >= 0.0) || !std::isfinite(q.belowHz))
        throw SimError("--below " + ShortestText(q.belowHz) + ": the frequency must be a positive number [Hz]");
    if (q.solver == Solver::Sparse && !q.Bounded())
        throw SimError("--solver sparse: the sparse solver finds the lowest modes; give --count N or --below HZ");
}

bool ParseSolver(const std::string& text, Solver* solver) {
    if (text == "auto") *solver = Solver::Auto;
    else if (text == "dense") *solver = Solver::Dense;
    else if (text == "sparse") *solver = Solver::Sparse;
    else return false;
    return true;
}

ModeSet ComputeModes(const LinearModel& lin, const Model& model, const ModeRequest& request) {
    CheckModeRequest(request);
    ModeSet set;
    set.t = lin.t;
    set.unitModes = lin.modes;
    set.unknowns = static_cast<int>(lin.y.size());
    set.inertias = InertiaNodes(lin, model);
    const Reduction r = Reduce(lin, request);
    set.differential = static_cast<int>(r.differential.size());
    set.differentialUnknowns = r.differential;
    set.constraints = r.constraints;
    set.shift = r.shift;
    set.solver = r.solver;
    std::vector<int> posD(lin.y.size(), -1);
    for (size_t i = 0; i < r.differential.size(); ++i)
        posD[static_cast<size_t>(r.differential[i])] = static_cast<int>(i);
    ModesOf(r, posD, set);
    if (set.modes.empty())
        throw SimError("the model has no finite mode at t = " + TimeText(lin.t) + ": " +
                       std::to_string(set.differential) + " differential unknowns, " +
                       std::to_string(set.constraints) + " of them fixed by constraints");
    // The request's bounds, the same for either solver.
    std::vector<Mode> kept;
    for (Mode& m : set.modes) {
        if (request.belowHz > 0.0 && !(m.naturalHz < request.belowHz)) continue;
        if (request.count > 0 && static_cast<int>(kept.size()) >= request.count) break;
        kept.push_back(std::move(m));
    }
    set.modes = std::move(kept);
    return set;
}

} // namespace dvx::sim

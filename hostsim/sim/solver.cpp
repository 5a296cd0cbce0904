#include "hostsim/sim/solver.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace dvx::sim {

namespace {

// A count that floating-point division should have made whole: the nearest
// whole number when it lies within a relative 1e-9, else `otherwise`.
long WholeOr(double ratio, double otherwise) {
    const double nearest = std::round(ratio);
    if (std::abs(ratio - nearest) <= 1e-9 * std::max(1.0, ratio)) return static_cast<long>(nearest);
    return static_cast<long>(otherwise);
}

std::string TimeText(double t) {
    std::ostringstream text;
    text.precision(10);
    text << t;
    return text.str();
}

// The start is made consistent with a backward Euler step this much shorter
// than the real step: long enough for a well-conditioned matrix, short
// enough that the speeds do not move.
constexpr double kStartFraction = 1e-7;

} // namespace

StepPlan PlanSteps(const Settings& s) {
    StepPlan plan;
    const double perInterval = s.outputInterval / s.step;
    plan.stepsPerInterval = std::max(1L, WholeOr(perInterval, std::ceil(perInterval)));
    plan.step = s.outputInterval / static_cast<double>(plan.stepsPerInterval);
    const double intervals = (s.stop - s.start) / s.outputInterval;
    plan.intervals = WholeOr(intervals, std::floor(intervals));
    if (plan.intervals < 1) throw SimError("the run from start to stop is shorter than one output interval");
    return plan;
}

Solver::Solver(const Model&, Session& session, const Network& network)
    : session_(session), network_(network), matrix_(network.Pattern(session)) {
    for (const Entry& e : network.Static()) staticPos_.push_back(Position(e.row, e.col));
    for (int i = 0; i < network.Size(); ++i) massPos_.push_back(Position(i, i));
    for (size_t i = 0; i < session.Count(); ++i) {
        const PlacedInstance& inst = session.At(i);
        std::vector<int> pos;
        for (size_t k = 0; k < inst.rows.size(); ++k) {
            const int row = network.Local(i)[static_cast<size_t>(inst.rows[k])];
            const int col = network.Local(i)[static_cast<size_t>(inst.columns[k])];
            pos.push_back(row == kGround || col == kGround ? -1 : Position(row, col));
        }
        entryPos_.push_back(std::move(pos));
        values_.emplace_back(inst.rows.size(), 0.0);
        rhs_.emplace_back(3, 0.0);
    }
    outputCount_ = session.OutputNames().size();
    outputs_.assign(session.Count() * outputCount_, 0.0);
    lu_.analyzePattern(matrix_);
}

int Solver::Position(int row, int col) const {
    const int* begin = matrix_.innerIndexPtr() + matrix_.outerIndexPtr()[col];
    const int* end = matrix_.innerIndexPtr() + matrix_.outerIndexPtr()[col + 1];
    const int* it = std::lower_bound(begin, end, row);
    return static_cast<int>(it - matrix_.innerIndexPtr());
}

void Solver::Evaluate(double t, const std::vector<double>& x) {
    session_.SetTime(t);
    for (size_t i = 0; i < session_.Count(); ++i) {
        const std::array<int, 3>& local = network_.Local(i);
        std::array<double, 3> vars{};
        for (size_t v = 0; v < 3; ++v) vars[v] = local[v] == kGround ? 0.0 : x[static_cast<size_t>(local[v])];
        session_.Step(i, vars, values_[i].data(), rhs_[i].data());
    }
}

// The outputs that belong to x: one more step call with x in place, whose
// entries equal the ones just used, then call type 6 for every output.
void Solver::Observe(const std::vector<double>& x) {
    std::vector<double> values(kEntryCapacity), rhs(3);
    for (size_t i = 0; i < session_.Count(); ++i) {
        const std::array<int, 3>& local = network_.Local(i);
        std::array<double, 3> vars{};
        for (size_t v = 0; v < 3; ++v) vars[v] = local[v] == kGround ? 0.0 : x[static_cast<size_t>(local[v])];
        session_.Step(i, vars, values.data(), rhs.data());
        session_.ReadOutputs(i, &outputs_[i * outputCount_]);
    }
}

void Solver::Solve(double t, double alpha, const std::vector<double>& x, const std::vector<double>& g,
                   std::vector<double>& dx) {
    double* m = matrix_.valuePtr();
    std::fill(m, m + matrix_.nonZeros(), 0.0);
    network_.Forcing(t, u_);
    const std::vector<Entry>& fixed = network_.Static();
    for (size_t k = 0; k < fixed.size(); ++k) {
        m[staticPos_[k]] += fixed[k].value;
        u_[static_cast<size_t>(fixed[k].row)] -= fixed[k].value * x[static_cast<size_t>(fixed[k].col)];
    }
    const std::vector<double>& mass = network_.Mass();
    for (size_t i = 0; i < mass.size(); ++i) {
        m[massPos_[i]] += alpha * mass[i];
        if (!g.empty()) u_[i] += mass[i] * g[i];
    }
    for (size_t i = 0; i < session_.Count(); ++i) {
        const PlacedInstance& inst = session_.At(i);
        const std::array<int, 3>& local = network_.Local(i);
        for (size_t e = 0; e < 3; ++e)
            if (local[e] != kGround) u_[static_cast<size_t>(local[e])] += rhs_[i][e];
        for (size_t k = 0; k < values_[i].size(); ++k) {
            if (entryPos_[i][k] < 0) continue;
            m[entryPos_[i][k]] += values_[i][k];
            const int row = local[static_cast<size_t>(inst.rows[k])];
            const int col = local[static_cast<size_t>(inst.columns[k])];
            u_[static_cast<size_t>(row)] -= values_[i][k] * x[static_cast<size_t>(col)];
        }
    }
    if (!std::equal(m, m + matrix_.nonZeros(), factorized_.begin(), factorized_.end())) {
        lu_.factorize(matrix_);
        ++stats_.factorizations;
        if (lu_.info() != Eigen::Success) {
            factorized_.clear();
            throw SimError("at t = " + TimeText(t) + " the network's equations are singular (" +
                           lu_.lastErrorMessage() +
                           "): every node needs a path that fixes its speed, through an inertia, a damper, "
                           "a spring, a source or a gear");
        }
        factorized_.assign(m, m + matrix_.nonZeros());
    }
    const Eigen::Map<const Eigen::VectorXd> r(u_.data(), static_cast<Eigen::Index>(u_.size()));
    Eigen::Map<Eigen::VectorXd>(dx.data(), static_cast<Eigen::Index>(dx.size())) = lu_.solve(r);
    for (double d : dx)
        if (!std::isfinite(d))
            throw SimError("at t = " + TimeText(t) + " the solution is no longer finite");
}

SolverStats Solver::Run(const Settings& settings, Observer& observer) {
    const StepPlan plan = PlanSteps(settings);
    const double h = plan.step;
    const size_t n = static_cast<size_t>(network_.Size());
    std::vector<double> x = network_.Initial(), xPrev, dx(n), g;
    stats_ = {};

    // Consistent start, from two very short Euler steps at the start time.
    // The first moves every unknown: initial speeds that contradict a gear
    // or a speed source are brought onto it as an impulse would, keeping
    // the momentum balance. The second, from there, moves the state only by
    // its drift over the short step; taking that drift back leaves the
    // state (with any such jump) where the start time finds it, and the
    // algebraic unknowns (torques of gears and speed sources, speeds of
    // massless nodes) with the values that belong to it. A state that did
    // not jump keeps its initial value exactly.
    const double startAlpha = 1.0 / (kStartFraction * h);
    Evaluate(settings.start, x);
    Solve(settings.start, startAlpha, x, g, dx);
    const std::vector<double> x0 = x, first = dx;
    for (size_t i = 0; i < n; ++i) x[i] += dx[i];
    Evaluate(settings.start, x);
    Solve(settings.start, startAlpha, x, g, dx);
    for (size_t i = 0; i < n; ++i) {
        if (network_.Mass()[i] == 0.0) {
            x[i] += dx[i];
        } else {
            x[i] -= dx[i];
            if (std::abs(x[i] - x0[i]) <= 1e-6 * std::abs(first[i])) x[i] = x0[i];
        }
    }
    Observe(x);
    observer.OnStep(settings.start, 0.0, outputs_);
    observer.OnSample(settings.start, outputs_);

    for (long interval = 0; interval < plan.intervals; ++interval) {
        const double base = settings.start + static_cast<double>(interval) * settings.outputInterval;
        for (long j = 1; j <= plan.stepsPerInterval; ++j) {
            const double t = j == plan.stepsPerInterval
                                 ? settings.start + static_cast<double>(interval + 1) * settings.outputInterval
                                 : base + static_cast<double>(j) * h;
            const bool euler = settings.method == Method::Euler || stats_.steps == 0;
            if (euler) {
                g.clear();
            } else {
                g.resize(n);
                for (size_t i = 0; i < n; ++i) g[i] = (x[i] - xPrev[i]) / (2.0 * h);
            }
            Evaluate(t, x);
            Solve(t, euler ? 1.0 / h : 1.5 / h, x, g, dx);
            xPrev = x;
            for (size_t i = 0; i < n; ++i) x[i] += dx[i];
            ++stats_.steps;
            Observe(x);
            observer.OnStep(t, h, outputs_);
            if (j == plan.stepsPerInterval) observer.OnSample(t, outputs_);
        }
    }
    return stats_;
}

} // namespace dvx::sim

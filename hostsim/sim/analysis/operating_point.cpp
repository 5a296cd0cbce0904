#include "hostsim/sim/analysis/operating_point.h"

#include "hostsim/sim/base/numbers.h"

#include <cmath>
#include <deque>

namespace dvx::sim {

namespace {

using Sparse = Eigen::SparseMatrix<double>;

// Per row, its entries (column, value) in A and whether B has an entry in it
// other than on the row's own unknown.
struct RowEntries {
    std::vector<std::vector<std::pair<int, double>>> a;
    std::vector<char> otherB, ownB;
};

RowEntries EntriesByRow(const LinearModel& lin) {
    RowEntries r;
    const auto n = static_cast<size_t>(lin.a.rows());
    r.a.resize(n);
    r.otherB.assign(n, 0);
    r.ownB.assign(n, 0);
    for (int k = 0; k < lin.a.outerSize(); ++k)
        for (Sparse::InnerIterator it(lin.a, k); it; ++it)
            if (it.value() != 0.0) r.a[static_cast<size_t>(it.row())].emplace_back(static_cast<int>(it.col()), it.value());
    for (int k = 0; k < lin.b.outerSize(); ++k)
        for (Sparse::InnerIterator it(lin.b, k); it; ++it)
            if (it.value() != 0.0) (it.row() == it.col() ? r.ownB : r.otherB)[static_cast<size_t>(it.row())] = 1;
    return r;
}

bool Differs(double x, double y) { return std::abs(x - y) > 1e-9 * std::max({1.0, std::abs(x), std::abs(y)}); }

} // namespace

int FindNode(const Model& model, const std::string& node, const std::string& option) {
    for (size_t n = 0; n < model.nodes.size(); ++n)
        if (model.nodes[n].name == node) return static_cast<int>(n);
    std::string names;
    for (const Node& n : model.nodes) names += (names.empty() ? "" : ", ") + n.name;
    throw SimError(option + " " + node + ": the model has no such node (its nodes: " + names + ")");
}

OperatingPoints::OperatingPoints(const Model& model, Network& network, LinearModel base, const std::string& node,
                                 const std::string& option)
    : network_(network), base_(std::move(base)), node_(FindNode(model, node, option)),
      nodes_(static_cast<int>(model.nodes.size())), name_(node) {
    const RowEntries rows = EntriesByRow(base_);
    byNode_.resize(static_cast<size_t>(nodes_));
    // The nodes' rows are torque balances; the units' own rows follow them.
    for (size_t r = static_cast<size_t>(nodes_); r < rows.a.size(); ++r) {
        // A row of speeds alone, with no derivative but, at most, its own
        // state's (which is zero at rest).
        if (rows.otherB[r] || rows.a[r].empty() || rows.a[r].size() > 2) continue;
        bool speeds = true;
        for (const auto& [col, value] : rows.a[r]) speeds = speeds && col < nodes_;
        if (!speeds) continue;
        const int row = static_cast<int>(r);
        Relation rel{row, rows.a[r][0].first, -1, 0.0};
        if (rows.a[r].size() == 2) {
            rel.j = rows.a[r][1].first;
            rel.ratio = -rows.a[r][0].second / rows.a[r][1].second;
            byNode_[static_cast<size_t>(rel.j)].push_back(relations_.size());
        }
        byNode_[static_cast<size_t>(rel.i)].push_back(relations_.size());
        relations_.push_back(rel);
    }
}

LinearModel OperatingPoints::At(double rpm) {
    const double omega = RpmToRadPerSecond(rpm);
    std::vector<double> speed(static_cast<size_t>(nodes_), 0.0);
    std::vector<char> set(static_cast<size_t>(nodes_), 0);
    speed[static_cast<size_t>(node_)] = omega;
    set[static_cast<size_t>(node_)] = 1;
    std::deque<int> queue{node_};
    const auto fail = [&](int row, int at, double want, double have) {
        throw SimError("--node " + name_ + " at " + ShortestText(rpm) + " rpm: no steady operating point: " +
                       network_.RowText(row) + " gives node '" + network_.Label(at) + "' " + ShortestText(want) +
                       " rad/s, the ratios from '" + name_ + "' " + ShortestText(have) + " rad/s");
    };
    while (!queue.empty()) {
        const int n = queue.front();
        queue.pop_front();
        for (size_t k : byNode_[static_cast<size_t>(n)]) {
            const Relation& rel = relations_[k];
            // A held speed (a speed source, a stuck brake) other than on the
            // node itself, whose speed the command sets.
            if (rel.j < 0) {
                if (n != node_ && Differs(speed[static_cast<size_t>(n)], base_.y[static_cast<size_t>(n)]))
                    fail(rel.row, n, base_.y[static_cast<size_t>(n)], speed[static_cast<size_t>(n)]);
                continue;
            }
            const int other = rel.i == n ? rel.j : rel.i;
            const double value = rel.i == n ? rel.ratio * speed[static_cast<size_t>(n)]
                                            : speed[static_cast<size_t>(n)] / rel.ratio;
            if (set[static_cast<size_t>(other)]) {
                if (Differs(value, speed[static_cast<size_t>(other)])) fail(rel.row, other, value, speed[static_cast<size_t>(other)]);
                continue;
            }
            speed[static_cast<size_t>(other)] = value;
            set[static_cast<size_t>(other)] = 1;
            queue.push_back(other);
        }
    }
    LinearModel lin;
    lin.t = base_.t;
    lin.modes = base_.modes;
    lin.y = base_.y;
    for (int n = 0; n < nodes_; ++n)
        if (set[static_cast<size_t>(n)]) lin.y[static_cast<size_t>(n)] = speed[static_cast<size_t>(n)];
    Jacobians(network_, lin.t, lin.y, lin);
    return lin;
}

} // namespace dvx::sim

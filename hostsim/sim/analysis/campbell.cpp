#include "hostsim/sim/analysis/campbell.h"

#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace dvx::sim {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Below this the best match of a shape is no match: the mode is another.
constexpr double kLeastMac = 0.5;

double ParseNumber(const std::string& text, bool* ok) {
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    *ok = ec == std::errc() && ptr == end && !text.empty() && std::isfinite(value);
    return value;
}

std::vector<const Mode*> Oscillating(const ModeSet& set) {
    std::vector<const Mode*> out;
    for (const Mode& m : set.modes)
        if (!m.rigid) out.push_back(&m);
    return out;
}

// Per new mode, the trace it continues (or -1), pairs taken best first.
std::vector<int> Match(const std::vector<const Mode*>& modes, const std::vector<Eigen::VectorXcd>& last,
                       const std::vector<char>& alive) {
    struct Pair {
        double mac;
        size_t mode, trace;
    };
    std::vector<Pair> pairs;
    for (size_t m = 0; m < modes.size(); ++m)
        for (size_t t = 0; t < last.size(); ++t)
            if (alive[t]) pairs.push_back({Mac(modes[m]->vector, last[t]), m, t});
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) { return x.mac > y.mac; });
    std::vector<int> out(modes.size(), -1);
    std::vector<char> taken(last.size(), 0);
    for (const Pair& p : pairs)
        if (p.mac >= kLeastMac && out[p.mode] < 0 && !taken[p.trace]) {
            out[p.mode] = static_cast<int>(p.trace);
            taken[p.trace] = 1;
        }
    return out;
}

struct Refiner {
    OperatingPoints& points;
    const Model& model;
    const ModeRequest& request;

    // The mode most like `shape` at `rpm`, or null.
    std::optional<Mode> Follow(double rpm, const Eigen::VectorXcd& shape) const {
        const ModeSet set = ComputeModes(points.At(rpm), model, request);
        const Mode* best = nullptr;
        double mac = kLeastMac;
        for (const Mode* m : Oscillating(set))
            if (const double x = Mac(m->vector, shape); x >= mac) best = m, mac = x;
        return best ? std::optional<Mode>(*best) : std::nullopt;
    }

    // Where the mode meets the order's line between r0 and r1, whose
    // distances g0, g1 from it have opposite signs (Illinois' regula falsi).
    Crossing Refine(double order, double r0, double g0, double r1, double g1, const Eigen::VectorXcd& shape) const {
        Crossing c;
        c.order = order;
        int side = 0;
        for (int k = 0; k < 40; ++k) {
            const double r = r1 - g1 * (r1 - r0) / (g1 - g0);
            const std::optional<Mode> m = Follow(r, shape);
            if (!m) break;
            const double g = m->naturalHz - order * r / 60.0;
            c.rpm = r, c.hz = m->naturalHz, c.zeta = m->dampingRatio;
            if (std::abs(g) <= 1e-13 * m->naturalHz || std::abs(r1 - r0) <= 1e-12 * std::abs(r)) break;
            if ((g < 0.0) == (g0 < 0.0)) {
                r0 = r, g0 = g;
                if (side == -1) g1 *= 0.5;
                side = -1;
            } else {
                r1 = r, g1 = g;
                if (side == 1) g0 *= 0.5;
                side = 1;
            }
        }
        return c;
    }
};

void Margin(const OperatingRange& range, Crossing& c) {
    c.inside = c.rpm >= range.lo && c.rpm <= range.hi;
    const bool nearLo = std::abs(c.rpm - range.lo) <= std::abs(range.hi - c.rpm);
    const double end = nearLo ? range.lo : range.hi;
    const double distance = std::min(std::abs(c.rpm - range.lo), std::abs(range.hi - c.rpm));
    c.marginPct = end > 0.0 ? (c.inside ? -1.0 : 1.0) * 100.0 * distance / end : kNaN;
}

} // namespace

double Mac(const Eigen::VectorXcd& u, const Eigen::VectorXcd& v) {
    const double uu = u.squaredNorm(), vv = v.squaredNorm();
    if (!(uu > 0.0 && vv > 0.0) || u.size() != v.size()) return 0.0;
    return std::norm(u.dot(v)) / (uu * vv);
}

void CheckSpeedGrid(const SpeedGrid& g) {
    if (!(g.from >= 0.0) || !std::isfinite(g.from))
        throw SimError("--from " + ShortestText(g.from) + ": the lowest speed must be a number of at least 0 [rpm]");
    if (!(g.to > g.from) || !std::isfinite(g.to))
        throw SimError("--to " + ShortestText(g.to) + ": the highest speed must lie above --from " +
                       ShortestText(g.from) + " rpm");
    if (g.points < 2 || g.points > 100000)
        throw SimError("--points " + std::to_string(g.points) + ": between 2 and 100000 speeds");
}

std::vector<double> SpeedsOf(const SpeedGrid& g) {
    std::vector<double> out;
    for (int k = 0; k < g.points; ++k)
        out.push_back(k + 1 == g.points ? g.to : g.from + (g.to - g.from) * k / (g.points - 1));
    return out;
}

OperatingRange ParseOperatingRange(const std::string& text, const std::string& option) {
    const size_t colon = text.find(':');
    bool okLo = false, okHi = false;
    OperatingRange r;
    if (colon != std::string::npos) {
        r.lo = ParseNumber(text.substr(0, colon), &okLo);
        r.hi = ParseNumber(text.substr(colon + 1), &okHi);
    }
    if (!okLo || !okHi || r.lo < 0.0 || !(r.hi > r.lo))
        throw SimError(option + " " + text + ": expected LO:HI in rpm with 0 <= LO < HI, for example 1500:4500");
    return r;
}

std::vector<double> ParseOrders(const std::string& text, const std::string& option) {
    std::vector<double> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        bool ok = false;
        const double o = ParseNumber(item, &ok);
        if (!ok || !(o > 0.0))
            throw SimError(option + " " + text + ": \"" + item + "\" is no order; orders are positive numbers, "
                           "separated by commas (0.5,1,2)");
        out.push_back(o);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

CampbellDiagram ComputeCampbell(OperatingPoints& points, const Model& model, const SpeedGrid& grid,
                                const std::vector<double>& orders, const std::optional<OperatingRange>& operating,
                                const ModeRequest& request) {
    CheckSpeedGrid(grid);
    CampbellDiagram d;
    d.rpm = SpeedsOf(grid);
    d.orders = orders;
    d.operating = operating;
    d.t = points.Base().t;
    d.unitModes = points.Base().modes;
    const Refiner refiner{points, model, request};
    std::vector<Eigen::VectorXcd> last; // per trace, its shape at the last speed it was seen
    std::vector<char> alive;
    const size_t n = d.rpm.size();
    for (size_t i = 0; i < n; ++i) {
        const ModeSet set = ComputeModes(points.At(d.rpm[i]), model, request);
        d.solver = set.solver;
        const std::vector<const Mode*> modes = Oscillating(set);
        const std::vector<int> match = Match(modes, last, alive);
        std::vector<char> seen(d.traces.size(), 0);
        for (size_t m = 0; m < modes.size(); ++m) {
            int t = match[m];
            if (t < 0) {
                t = static_cast<int>(d.traces.size());
                d.traces.push_back({t + 1, std::vector<double>(n, kNaN), std::vector<double>(n, kNaN)});
                last.emplace_back();
                alive.push_back(1);
                seen.push_back(0);
            }
            ModeTrace& trace = d.traces[static_cast<size_t>(t)];
            trace.hz[i] = modes[m]->naturalHz;
            trace.zeta[i] = modes[m]->dampingRatio;
            seen[static_cast<size_t>(t)] = 1;
            // A crossing between the last speed and this one, on the shape
            // the mode had at the last.
            for (double o : orders) {
                const double g1 = trace.hz[i] - o * d.rpm[i] / 60.0;
                const double g0 = i > 0 ? trace.hz[i - 1] - o * d.rpm[i - 1] / 60.0 : kNaN;
                if (g1 == 0.0 && !(g0 == 0.0)) {
                    d.crossings.push_back({trace.number, o, d.rpm[i], trace.hz[i], trace.zeta[i]});
                } else if (std::isfinite(g0) && (g0 < 0.0) != (g1 < 0.0) && g0 != 0.0) {
                    Crossing c = refiner.Refine(o, d.rpm[i - 1], g0, d.rpm[i], g1, last[static_cast<size_t>(t)]);
                    c.mode = trace.number;
                    d.crossings.push_back(c);
                }
            }
            last[static_cast<size_t>(t)] = modes[m]->vector;
        }
        for (size_t t = 0; t < seen.size(); ++t) alive[t] = alive[t] && (seen[t] || i == 0);
    }
    for (Crossing& c : d.crossings)
        if (operating) Margin(*operating, c);
    std::stable_sort(d.crossings.begin(), d.crossings.end(), [](const Crossing& x, const Crossing& y) {
        if (x.mode != y.mode) return x.mode < y.mode;
        if (x.order != y.order) return x.order < y.order;
        return x.rpm < y.rpm;
    });
    return d;
}

} // namespace dvx::sim

// The analysis commands on the driveline-shuffle example: its modes against
// its own time-domain runs (a torque step rings at the first mode's
// frequency and decays at its damping ratio; a sine at that frequency
// settles at the amplitude of the frequency response), and its clutch stuck
// and slipping against the reduced models written by hand. Also the hybrid
// elements in each of their modes.
#include "hostsim/sim/analysis/reduction.h"
#include "tests/hostsim_harness.h"
#include "tests/modes_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace dvx::sim::testing {
namespace {

using nlohmann::json;

constexpr double kGears[] = {3.5, 2.1, 1.4, 1.0};

json Example() {
    std::ifstream in(std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/model.json");
    return json::parse(in);
}

json& Element(json& model, const std::string& name) {
    for (json& e : model["elements"])
        if (e.value("name", "") == name) return e;
    throw SimError("no element " + name);
}

// The example in one gear from rest, its clutch engaged throughout, and the
// engine's torque `torque`; run to `stop` with samples every millisecond.
std::string InGear(double k, const json& torque, double stop) {
    json m = Example();
    m["quantities"][0]["value"] = k;
    Element(m, "clutch")["torque"] = 400;
    Element(m, "engine")["torque"] = torque;
    for (json& node : m["nodes"]) node["omega0"] = 0;
    m["simulation"] = {{"start", 0}, {"stop", stop}, {"output_interval", 0.001}, {"rtol", 1e-8}};
    return m.dump();
}

struct Ring {
    double hz = 0.0, zeta = 0.0;
};

// The ringing of a signal that settles to a constant: its extrema after
// `from` (each refined by the parabola through its neighbours) lie half a
// damped period apart, and the differences between neighbours shrink by
// exp(-sigma*pi/omega_d) from one to the next.
Ring MeasureRing(const std::vector<double>& t, const std::vector<double>& s, double from, size_t count) {
    std::vector<double> at, value;
    for (size_t i = 1; i + 1 < s.size() && at.size() < count; ++i) {
        if (t[i] < from) continue;
        const double a = s[i - 1], b = s[i], c = s[i + 1];
        if ((b - a) * (c - b) > 0.0 || a - 2.0 * b + c == 0.0) continue;
        const double dt = t[i + 1] - t[i];
        const double shift = 0.5 * (a - c) / (a - 2.0 * b + c);
        at.push_back(t[i] + shift * dt);
        value.push_back(b - 0.25 * (a - c) * shift);
    }
    EXPECT_EQ(at.size(), count);
    Ring r;
    const double half = (at.back() - at.front()) / static_cast<double>(at.size() - 1);
    r.hz = 1.0 / (2.0 * half);
    // Least squares of log(peak-to-peak) over its index.
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double n = static_cast<double>(at.size() - 1);
    for (size_t k = 0; k + 1 < at.size(); ++k) {
        const double x = static_cast<double>(k), y = std::log(std::abs(value[k + 1] - value[k]));
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double omegaD = 2.0 * std::numbers::pi * r.hz;
    const double sigma = -slope * omegaD / std::numbers::pi;
    r.zeta = sigma / std::hypot(sigma, omegaD);
    return r;
}

std::vector<double> Column(const Trace& trace, const std::string& output) {
    const size_t k = trace.Output(output);
    std::vector<double> out;
    for (const std::vector<double>& row : trace.outputs) out.push_back(row[k]);
    return out;
}

TEST(ModesAgainstTimeDomain, TorqueStepRingsAtTheFirstModeInEachGear) {
    const json step = {{"type", "step"}, {"before", 0}, {"after", 80}, {"time", 0.2}};
    for (double k : kGears) {
        const std::string text = InGear(k, step, 3.2);
        Placed p(text);
        const std::vector<Mode> osc = Oscillating(p.Modes(1.0));
        ASSERT_EQ(osc.size(), 2u) << "K = " << k;
        const Trace trace = RunTrace(text, Method::Ida, 1e-8);
        for (double mode : Column(trace, "clutch.mode")) ASSERT_EQ(mode, 0.0) << "K = " << k << ": the clutch slipped";
        // After the step's first 0.3 s the second mode (27 Hz and more, damping
        // ratio 0.23 and more) has died away.
        const Ring ring = MeasureRing(trace.t, Column(trace, "halfshaft.torque"), 0.5, 12);
        EXPECT_LT(std::abs(ring.hz / osc[0].dampedHz - 1.0), 0.01)
            << "K = " << k << ": rings at " << ring.hz << " Hz, mode at " << osc[0].dampedHz;
        EXPECT_LT(std::abs(ring.zeta / osc[0].dampingRatio - 1.0), 0.05)
            << "K = " << k << ": decays at " << ring.zeta << ", mode " << osc[0].dampingRatio;
    }
}

// The amplitude of the sinusoid at `hz` in the last whole periods of a
// signal, by least squares on sin, cos and a constant.
double SteadyAmplitude(const std::vector<double>& t, const std::vector<double>& s, double hz, int periods) {
    const double from = t.back() - periods / hz;
    Eigen::Matrix3d normal = Eigen::Matrix3d::Zero();
    Eigen::Vector3d right = Eigen::Vector3d::Zero();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i] >= from) {
            const double w = 2.0 * std::numbers::pi * hz * t[i];
            const Eigen::Vector3d row(std::sin(w), std::cos(w), 1.0);
            normal += row * row.transpose();
            right += row * s[i];
        }
    const Eigen::Vector3d x = normal.ldlt().solve(right);
    return std::hypot(x[0], x[1]);
}

TEST(ModesAgainstTimeDomain, SineAtTheFirstResonanceSettlesAtTheResponse) {
    const double amplitude = 5.0;
    for (double k : {3.5, 1.0}) {
        const ModeSet set = Placed(InGear(k, 0, 1.0)).Modes(0.0);
        const Mode first = Oscillating(set)[0];
        const double hz = first.dampedHz;
        const FrequencyResponse r =
            Placed(InGear(k, 0, 1.0)).Response(0.0, "engine", "halfshaft.torque", {hz, 2.0 * hz, 2});
        // Long enough for the start's transient to fall below 1e-5.
        const double sigma = -first.lambda.real();
        const double stop = std::ceil((12.0 / sigma) * hz) / hz;
        const json sine = {{"type", "sine"}, {"amplitude", amplitude}, {"frequency", hz}};
        const Trace trace = RunTrace(InGear(k, sine, stop), Method::Ida, 1e-8);
        for (double mode : Column(trace, "clutch.mode")) ASSERT_EQ(mode, 0.0) << "K = " << k << ": the clutch slipped";
        const double steady = SteadyAmplitude(trace.t, Column(trace, "halfshaft.torque"), hz, 3);
        EXPECT_LT(std::abs(steady / (amplitude * std::abs(r.h[0])) - 1.0), 1e-3)
            << "K = " << k << ": run " << steady << ", response " << amplitude * std::abs(r.h[0]);
    }
}

// The example's driveline by hand, gearbox input speed w_g with the
// propshaft reflected into it, the axle's speed w_g/R (R = 3.9*K), the
// half-shaft torque tau2 + d2*(w_g/R - w_w). Stuck: engine and clutch disc
// one inertia; slipping: the disc alone (the engine, held by a torque that
// does not depend on the state, is a rigid-body mode of its own). States
// w_first, tau1, w_g, tau2, w_w.
std::vector<std::complex<double>> ByHand(double k, bool stuck) {
    const double je = 0.25, jd = 0.005, c1 = 1000, d1 = 2, jg = 0.01 + 0.05 / (k * k), c2 = 10000, d2 = 40,
                 jw = 137, ratio = 3.9 * k;
    const double j1 = stuck ? je + jd : jd;
    Eigen::Matrix<double, 5, 5> s = Eigen::Matrix<double, 5, 5>::Zero();
    s.row(0) << -d1 / j1, -1 / j1, d1 / j1, 0, 0;
    s.row(1) << c1, 0, -c1, 0, 0;
    s.row(2) << d1 / jg, 1 / jg, (-d1 - d2 / (ratio * ratio)) / jg, -1 / (ratio * jg), d2 / (ratio * jg);
    s.row(3) << 0, 0, c2 / ratio, 0, -c2;
    s.row(4) << 0, 0, d2 / (ratio * jw), 1 / jw, -d2 / jw;
    const Eigen::VectorXcd lambda = dvx::sim::DenseEigenvalues(s);
    EXPECT_EQ(lambda.size(), 5);
    std::vector<std::complex<double>> out;
    for (const std::complex<double>& l : lambda)
        if (l.imag() > 0.0) out.push_back(l);
    std::sort(out.begin(), out.end(), [](auto a, auto b) { return std::abs(a) < std::abs(b); });
    return out;
}

TEST(ModesHybrid, ClutchStuckAndSlippingGiveTheReducedModels) {
    Placed stuck(Example().dump());
    const ModeSet atStuck = stuck.Modes(3.5); // first gear, clutch locked
    Placed slipping(Example().dump());
    const ModeSet atSlip = slipping.Modes(4.5); // second gear, clutch engaging
    struct Case {
        const ModeSet& set;
        double k;
        bool stuck;
        const char* mode;
        size_t rigid;
    };
    const Case cases[] = {{atStuck, 3.5, true, "clutch: stuck", 1}, {atSlip, 2.1, false, "clutch: slipping forward", 2}};
    for (const Case& c : cases) {
        EXPECT_NE(std::find(c.set.unitModes.begin(), c.set.unitModes.end(), c.mode), c.set.unitModes.end()) << c.mode;
        EXPECT_EQ(RigidCount(c.set), c.rigid) << c.mode;
        const std::vector<Mode> osc = Oscillating(c.set);
        const std::vector<std::complex<double>> hand = ByHand(c.k, c.stuck);
        ASSERT_EQ(osc.size(), hand.size()) << c.mode;
        for (size_t i = 0; i < hand.size(); ++i) {
            EXPECT_LT(std::abs(osc[i].lambda - hand[i]) / std::abs(hand[i]), 1e-9)
                << c.mode << ", mode " << i << ": " << osc[i].lambda << " by hand " << hand[i];
        }
    }
}

// Two inertias joined by a hybrid element, in the mode its settings give at
// the start: what each mode of the element transmits.
TEST(ModesHybrid, EachModeOfAHybridElementIsLinearisedAsItActs) {
    const double j1 = 0.3, j2 = 2.0, c = 500.0, d = 0.8;
    const double jr = j1 * j2 / (j1 + j2);
    struct Row {
        const char* what;
        std::string element;
        const char* mode;
        size_t rigid;
        double hz; // of the one oscillating mode, 0 for none
    };
    const std::string lash =
        R"({"type": "elasto_backlash", "name": "x", "a": "a", "b": "b", "c": 500, "d": 0.8, "play": 0.1, "angle0": )";
    const std::string clutch = R"({"type": "clutch", "name": "x", "a": "a", "b": "b", "torque": 50})";
    const std::string bearing = R"({"type": "bearing_friction", "name": "x", "node": "a", "torque": 1, "viscous": 0.6})";
    const Row rows[] = {
        {"backlash in its play transmits nothing", lash + "0}", "x: free", 3, 0.0},
        {"backlash pushing is its spring and damper", lash + "0.2}", "x: pushing forward", 1, Hz(std::sqrt(c / jr))},
        {"stuck clutch is rigid", clutch, "x: stuck", 1, 0.0},
        {"slipping clutch transmits a torque of its own", clutch, "x: slipping forward", 2, 0.0},
        {"slipping bearing friction adds its viscous part", bearing, "x: slipping forward", 1, 0.0},
    };
    for (const Row& row : rows) {
        const bool slip = std::string(row.mode).find("slipping") != std::string::npos;
        Placed p(std::string(R"({"nodes": [{"name": "a", "omega0": )") + (slip ? "3" : "0") + R"(}, "b"], "elements": [)" +
                 R"({"type": "inertia", "node": "a", "J": 0.3}, {"type": "inertia", "node": "b", "J": 2}, )" +
                 row.element + "], \"instances\": []}");
        const ModeSet set = p.Modes(0.0);
        ASSERT_EQ(set.unitModes.size(), 1u) << row.what;
        EXPECT_EQ(set.unitModes[0], row.mode) << row.what;
        EXPECT_EQ(RigidCount(set), row.rigid) << row.what;
        const std::vector<Mode> osc = Oscillating(set);
        if (row.hz > 0.0) {
            ASSERT_EQ(osc.size(), 1u) << row.what;
            EXPECT_LT(std::abs(osc[0].naturalHz / row.hz - 1.0), 1e-10) << row.what;
            EXPECT_LT(std::abs(osc[0].dampingRatio / (d / (2.0 * std::sqrt(c * jr))) - 1.0), 1e-10) << row.what;
        } else if (row.element.find("viscous") != std::string::npos) {
            // The viscous part on a: a real mode of rate 0.6/J1 that does not oscillate.
            ASSERT_EQ(osc.size(), 1u) << row.what;
            EXPECT_LT(std::abs(osc[0].lambda - std::complex<double>(-0.6 / j1, 0.0)), 1e-12) << row.what;
            EXPECT_EQ(osc[0].dampingRatio, 1.0) << row.what;
        } else {
            EXPECT_TRUE(osc.empty()) << row.what;
        }
    }
}

} // namespace
} // namespace dvx::sim::testing

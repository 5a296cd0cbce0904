// The analysis commands against closed forms: two inertias through a gear,
// a fixed-free chain, a mass-spring-damper's frequency response, and the
// hybrid elements in each of their modes.
#include "benchmarks/chain_model.h"
#include "tests/modes_harness.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <complex>
#include <sstream>

namespace dvx::sim::testing {
namespace {

std::string Number(double x) {
    std::ostringstream s;
    s.precision(17);
    s << x;
    return s.str();
}

double Relative(double got, double want) { return std::abs(got - want) / std::abs(want); }

// J1 on node a, the gear a -> b (K), then the spring (and damper) b -> c to
// J2 on node c; b has no inertia. With `grounded`, J2 sits on b instead and
// the spring holds b to the ground: no rigid-body mode, and the gear joins
// two inertias (an index-2 constraint).
std::string GearPair(double k, double j1, double j2, double c, double d, bool grounded) {
    std::ostringstream m;
    m << R"({"nodes": ["a", "b")" << (grounded ? "" : R"(, "c")") << R"(], "elements": [)"
      << R"({"type": "inertia", "node": "a", "J": )" << Number(j1) << "},";
    if (grounded) {
        m << R"({"type": "inertia", "node": "b", "J": )" << Number(j2) << "},"
          << R"({"type": "spring", "a": "b", "c": )" << Number(c) << "}";
    } else {
        m << R"({"type": "inertia", "node": "c", "J": )" << Number(j2) << "},"
          << R"({"type": "spring", "a": "b", "b": "c", "c": )" << Number(c) << "}";
        if (d > 0.0) m << R"(, {"type": "damper", "a": "b", "b": "c", "d": )" << Number(d) << "}";
    }
    m << R"(], "instances": [{"name": "gear", "parameters": ")" << Number(k) << R"(", "ROT1": "a", "ROT2": "b"}]})";
    return m.str();
}

constexpr double kFactors[] = {0.25, 1.0, 3.5, 1e3};

TEST(ModesClosedForm, TwoInertiasThroughAGearAndASpring) {
    const double j1 = 0.3, j2 = 2.0, c = 500.0;
    for (double k : kFactors) {
        Placed p(GearPair(k, j1, j2, c, 0.0, false));
        const ModeSet set = p.Modes(0.0);
        ASSERT_EQ(RigidCount(set), 1u) << "K = " << k;
        const std::vector<Mode> osc = Oscillating(set);
        ASSERT_EQ(osc.size(), 1u) << "K = " << k;
        const double f = Hz(std::sqrt(c * (1.0 / (k * k * j1) + 1.0 / j2)));
        EXPECT_LT(Relative(osc[0].naturalHz, f), 1e-10) << "K = " << k << ": " << osc[0].naturalHz << " vs " << f;
        EXPECT_LT(Relative(osc[0].dampedHz, f), 1e-10) << "K = " << k;
        EXPECT_LT(std::abs(osc[0].dampingRatio), 1e-10) << "K = " << k;
        // The rigid-body mode turns both inertias with the gear's ratio.
        const Mode& rigid = set.modes[0];
        ASSERT_EQ(set.inertias.size(), 2u);
        const double ratio = rigid.amplitude[0] / rigid.amplitude[1];
        EXPECT_LT(Relative(ratio, k), 1e-9) << "K = " << k;
    }
}

TEST(ModesClosedForm, DamperBesideTheSpringGivesItsDampingRatio) {
    const double j1 = 0.3, j2 = 2.0, c = 500.0, d = 1.5;
    for (double k : kFactors) {
        Placed p(GearPair(k, j1, j2, c, d, false));
        const std::vector<Mode> osc = Oscillating(p.Modes(0.0));
        ASSERT_EQ(osc.size(), 1u) << "K = " << k;
        const double jr = k * k * j1 * j2 / (k * k * j1 + j2);
        const double zeta = d / (2.0 * std::sqrt(c * jr));
        EXPECT_LT(Relative(osc[0].dampingRatio, zeta), 1e-10) << "K = " << k << ": " << osc[0].dampingRatio;
        EXPECT_LT(Relative(osc[0].naturalHz, Hz(std::sqrt(c / jr))), 1e-10) << "K = " << k;
        EXPECT_LT(Relative(osc[0].dampedHz, Hz(std::sqrt(c / jr) * std::sqrt(1.0 - zeta * zeta))), 1e-10);
    }
}

TEST(ModesClosedForm, GearBetweenTwoInertiasReflectsBySquareOfK) {
    // The gear's torque is an index-2 unknown: the reduction must leave one
    // mode, sqrt(c / (K^2*J1 + J2)), and no spurious one.
    const double j1 = 0.3, j2 = 2.0, c = 500.0;
    for (double k : kFactors) {
        Placed p(GearPair(k, j1, j2, c, 0.0, true));
        const ModeSet set = p.Modes(0.0);
        EXPECT_EQ(set.constraints, 1) << "K = " << k;
        ASSERT_EQ(set.modes.size(), 1u) << "K = " << k;
        EXPECT_FALSE(set.modes[0].rigid);
        EXPECT_LT(Relative(set.modes[0].naturalHz, Hz(std::sqrt(c / (k * k * j1 + j2)))), 1e-10) << "K = " << k;
        // Its kinetic energy splits as K^2*J1 : J2.
        EXPECT_LT(Relative(set.modes[0].energyShare[0], k * k * j1 / (k * k * j1 + j2)), 1e-9) << "K = " << k;
    }
}

void ExpectChainFrequencies(int n) {
    const double j = 0.02, c = 800.0;
    Placed p(SpringChainModelText(n, j, c));
    const ModeSet set = p.Modes(0.0);
    EXPECT_EQ(RigidCount(set), 0u);
    const std::vector<Mode> osc = Oscillating(set);
    ASSERT_EQ(osc.size(), static_cast<size_t>(n));
    double worst = 0.0;
    int at = 0;
    for (int k = 1; k <= n; ++k) {
        const double omega = 2.0 * std::sqrt(c / j) * std::sin((2 * k - 1) * std::numbers::pi / (4.0 * n + 2.0));
        const double error = Relative(osc[static_cast<size_t>(k - 1)].naturalHz, Hz(omega));
        if (error > worst) worst = error, at = k;
    }
    EXPECT_LT(worst, 1e-10) << "n = " << n << ": mode " << at;
}

TEST(ModesClosedForm, FixedFreeChainOfTen) { ExpectChainFrequencies(10); }

TEST(ModesClosedForm, FixedFreeChainOfAThousand) {
#if defined(DVX_SLOW_BUILD)
    GTEST_SKIP() << "a dense eigenproblem of 2000 unknowns: solved in the native optimised build";
#endif
    ExpectChainFrequencies(1000);
}

// A mass J on node m with a spring c and a damper d to the ground, driven by
// a torque source: H(s) = s / (J s^2 + d s + c) to its speed.
TEST(ResponseClosedForm, MassSpringDamperOverFourDecades) {
    const double j = 0.4, c = 900.0, d = 1.2;
    Placed p(R"({"nodes": ["m"], "elements": [
        {"type": "torque_source", "name": "drive", "node": "m", "torque": 3},
        {"type": "inertia", "name": "mass", "node": "m", "J": 0.4},
        {"type": "spring", "name": "spring", "a": "m", "c": 900},
        {"type": "damper", "name": "damper", "a": "m", "d": 1.2}], "instances": []})");
    const double fn = Hz(std::sqrt(c / j));
    struct Row {
        const char* output;
        std::complex<double> (*numerator)(std::complex<double> s, double c, double d);
    };
    const Row rows[] = {
        {"mass.omega", [](std::complex<double> s, double, double) { return s; }},
        {"spring.torque", [](std::complex<double>, double cc, double) { return std::complex<double>(cc); }},
        {"damper.torque", [](std::complex<double> s, double, double dd) { return dd * s; }},
    };
    for (const Row& row : rows) {
        const FrequencyResponse r = p.Response(0.0, "drive", row.output, {fn / 100.0, fn * 100.0, 201});
        ASSERT_EQ(r.hz.size(), 201u);
        double worst = 0.0;
        for (size_t k = 0; k < r.hz.size(); ++k) {
            const std::complex<double> s(0.0, 2.0 * std::numbers::pi * r.hz[k]);
            const std::complex<double> h = row.numerator(s, c, d) / (j * s * s + d * s + c);
            worst = std::max(worst, std::abs(r.h[k] - h) / std::abs(h));
            EXPECT_NEAR(r.magnitudeDb[k], 20.0 * std::log10(std::abs(h)), 1e-8) << row.output;
        }
        EXPECT_LT(worst, 1e-10) << row.output;
        EXPECT_NEAR(r.hz.front(), fn / 100.0, 1e-12 * fn);
        EXPECT_NEAR(r.hz.back(), fn * 100.0, 1e-12 * fn);
    }
}

TEST(ResponseClosedForm, TorqueSourceOwnTorqueIsItsInput) {
    // The source's "torque" output is its value: 1 per Nm at every frequency
    // (it once came out as zero, the unknowns being all it looked at).
    Placed p(R"({"nodes": ["m"], "elements": [
        {"type": "torque_source", "name": "drive", "node": "m", "torque": 3},
        {"type": "inertia", "node": "m", "J": 0.4}, {"type": "damper", "a": "m", "d": 1.2}], "instances": []})");
    const FrequencyResponse r = p.Response(0.0, "drive", "drive.torque", {0.1, 10.0, 5});
    for (const std::complex<double>& h : r.h) EXPECT_EQ(h, 1.0);
    const FrequencyResponse speed = p.Response(0.0, "drive", "drive.omega", {0.1, 10.0, 5});
    for (size_t k = 0; k < speed.hz.size(); ++k) {
        const std::complex<double> s(0.0, 2.0 * std::numbers::pi * speed.hz[k]);
        EXPECT_LT(std::abs(speed.h[k] - 1.0 / (0.4 * s + 1.2)) * std::abs(0.4 * s + 1.2), 1e-12);
    }
}

TEST(ResponseClosedForm, SpeedSourceThroughAGearDrivesTheLoad) {
    // A speed source on a, the gear a -> b (K = 2), a damper d from b to the
    // ground beside an inertia J: omega_b = omega_a / K whatever the frequency,
    // and the source's torque is (J s + d) / K^2 per unit of speed.
    Placed p(R"({"nodes": ["a", "b"], "elements": [
        {"type": "speed_source", "name": "motor", "node": "a", "speed": 10},
        {"type": "inertia", "name": "load", "node": "b", "J": 0.5},
        {"type": "damper", "a": "b", "d": 0.2}],
        "instances": [{"name": "gear", "parameters": "2", "ROT1": "a", "ROT2": "b"}]})");
    const FrequencyResponse speed = p.Response(0.0, "motor", "load.omega", {0.01, 100.0, 9});
    for (const std::complex<double>& h : speed.h) EXPECT_LT(std::abs(h - 0.5), 1e-12);
    const FrequencyResponse torque = p.Response(0.0, "motor", "motor.torque", {0.01, 100.0, 9});
    for (size_t k = 0; k < torque.hz.size(); ++k) {
        const std::complex<double> s(0.0, 2.0 * std::numbers::pi * torque.hz[k]);
        const std::complex<double> want = (0.5 * s + 0.2) / 4.0;
        EXPECT_LT(std::abs(torque.h[k] - want) / std::abs(want), 1e-10) << torque.hz[k];
    }
    // The gear's M1 is what the source supplies to its node.
    const FrequencyResponse m1 = p.Response(0.0, "motor", "gear.M1", {0.01, 100.0, 9});
    for (size_t k = 0; k < m1.hz.size(); ++k)
        EXPECT_LT(std::abs(m1.h[k] - torque.h[k]) / std::abs(torque.h[k]), 1e-9) << m1.hz[k];
}

} // namespace
} // namespace dvx::sim::testing

// The drivetrain elements against their closed forms, with IDA and with
// BDF2: a brake that stops a shaft and then holds it, a clutch that locks,
// a coastdown under quadratic drag, backlash that transmits nothing inside
// its play; and every element's Jacobian against its residual.
#include "tests/hostsim_harness.h"

#include "hostsim/sim/model/model.h"
#include "hostsim/sim/placed_model.h"
#include "tests/element_examples.h"
#include "hostsim/sim/run.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <set>
#include <sstream>

namespace dvx::sim {
namespace {

using testing::EveryElementModel;
using testing::RunTrace;
using testing::Trace;

constexpr double kRtol = 1e-6;
constexpr double kStep = 1e-3; // bdf2

// The first event whose text holds `what`, or NaN.
double EventTime(const Trace& r, const std::string& what) {
    for (const EventRecord& e : r.stats.events)
        if (e.Text().find(what) != std::string::npos) return e.t;
    return NAN;
}

// How close an event must come to its closed-form time: 10*rtol for IDA's
// root finding, a step for BDF2, which changes modes at the step where a
// crossing happens.
double EventTolerance(Method method, double t) { return method == Method::Ida ? 10 * kRtol * t : kStep; }

const Method kMethods[] = {Method::Ida, Method::Bdf2};

// J = 2 at w0 = 10, braked with 4 Nm against a drive of `drive`: it stops at
// J*w0/(4 - drive) and then stands exactly still while the drive stays
// within the brake's static torque.
TEST(Brake, StopsWhenTheClosedFormSaysAndThenStandsExactlyStill) {
    for (double drive : {0.0, 3.0})
        for (Method method : kMethods) {
            const double stop = 2.0 * 10.0 / (4.0 - drive);
            const Trace r = RunTrace(R"({"simulation": {"stop": )" + std::to_string(stop + 5) +
                                         R"(, "output_interval": 0.25},
                "nodes": [{"name": "shaft", "omega0": 10}],
                "elements": [{"type": "inertia", "node": "shaft", "J": 2},
                             {"type": "torque_source", "node": "shaft", "torque": )" +
                                         std::to_string(drive) + R"(},
                             {"type": "brake", "name": "brake", "node": "shaft", "torque": 4, "peak": 1.1}],
                "instances": []})",
                                     method, kRtol, kStep);
            const std::string what = std::string(MethodName(method)) + ", drive " + std::to_string(drive);
            EXPECT_NEAR(EventTime(r, "brake stuck"), stop, EventTolerance(method, stop)) << what;
            const size_t w = r.Unknown("shaft.omega"), mode = r.Output("brake.mode");
            for (size_t i = 0; i < r.t.size(); ++i) {
                if (r.t[i] > stop + kStep) {
                    EXPECT_EQ(r.y[i][w], 0.0) << what << " t = " << r.t[i];
                    EXPECT_EQ(r.outputs[i][mode], 0.0) << what << " t = " << r.t[i];
                } else if (r.t[i] < stop - kStep) {
                    const double exact = 10.0 - (4.0 - drive) / 2.0 * r.t[i];
                    EXPECT_NEAR(r.y[i][w], exact, 10 * kRtol * 10.0 + (method == Method::Ida ? 0 : 1e-9)) << what;
                }
            }
            EXPECT_EQ(r.stats.stateEvents, 1) << what; // no chattering once at rest
        }
}

// J1 = 1 at 20 rad/s, driven with 3 Nm, and J2 = 2 at rest, through a clutch
// of 10 Nm: they slip until w1 = 20 - 7t meets w2 = 5t at t = 5/3, and then
// turn together with (J1 + J2)*dw/dt = 3, the clutch holding J2*1 = 2 Nm.
TEST(Clutch, LocksWhenTheSpeedsMeetAndThenTurnsTheInertiasTogether) {
    for (Method method : kMethods) {
        const Trace r = RunTrace(R"({"simulation": {"stop": 3, "output_interval": 0.05},
            "nodes": [{"name": "a", "omega0": 20}, "b"],
            "elements": [{"type": "inertia", "node": "a", "J": 1}, {"type": "inertia", "node": "b", "J": 2},
                         {"type": "torque_source", "node": "a", "torque": 3},
                         {"type": "clutch", "name": "clutch", "a": "a", "b": "b", "torque": 10, "peak": 1.2}],
            "instances": []})",
                                 method, kRtol, kStep);
        const double lock = 5.0 / 3.0;
        const char* what = MethodName(method);
        EXPECT_NEAR(EventTime(r, "clutch stuck"), lock, EventTolerance(method, lock)) << what;
        const size_t a = r.Unknown("a.omega"), b = r.Unknown("b.omega"), torque = r.Output("clutch.torque");
        for (size_t i = 0; i < r.t.size(); ++i) {
            const double t = r.t[i];
            if (t < lock - kStep) {
                EXPECT_NEAR(r.y[i][a], 20.0 - 7.0 * t, 1e-4) << what << " t = " << t;
                EXPECT_NEAR(r.y[i][b], 5.0 * t, 1e-4) << what << " t = " << t;
                EXPECT_NEAR(r.outputs[i][torque], 10.0, 1e-9) << what << " t = " << t;
            } else if (t > lock + kStep) {
                EXPECT_EQ(r.y[i][a], r.y[i][b]) << what << " t = " << t;
                EXPECT_NEAR(r.y[i][a], 25.0 / 3.0 + (t - lock), 1e-3) << what << " t = " << t;
                EXPECT_NEAR(r.outputs[i][torque], 2.0, 1e-6) << what << " t = " << t;
            }
        }
    }
}

// A brake pressed by a cosine that turns negative at t = 1 on a shaft that a
// speed source holds at 10 rad/s: it opens at the zero crossing, stays open
// while the command is below zero (a pull is no pressure), and dissipates
// only the positive half: 10 * integral of 5*cos(pi*t/2) over [0, 1].
TEST(Friction, OpensAtTheZeroCrossingAndStaysOpenWhileTheCommandIsNegative) {
    for (Method method : kMethods) {
        const Trace r = RunTrace(R"({"simulation": {"stop": 1.5, "output_interval": 0.01},
            "nodes": ["a"],
            "elements": [{"type": "speed_source", "node": "a", "speed": 10},
                         {"type": "brake", "name": "brake", "node": "a",
                          "torque": {"type": "sine", "amplitude": 5, "frequency": 0.25, "phase": 1.5707963267948966}}],
            "instances": []})",
                                 method, kRtol, kStep);
        const char* what = MethodName(method);
        EXPECT_NEAR(EventTime(r, "brake open"), 1.0, EventTolerance(method, 1.0) + 1e-12) << what;
        const size_t mode = r.Output("brake.mode"), torque = r.Output("brake.torque");
        for (size_t i = 0; i < r.t.size(); ++i) {
            if (r.t[i] < 1.0 - kStep) {
                EXPECT_EQ(r.outputs[i][mode], 1.0) << what << " t = " << r.t[i];
            }
            if (r.t[i] > 1.0 + kStep) {
                EXPECT_EQ(r.outputs[i][mode], 2.0) << what << " t = " << r.t[i];
                EXPECT_EQ(r.outputs[i][torque], 0.0) << what << " t = " << r.t[i];
            }
        }
        double dissipated = 0.0;
        for (const EnergyAccount& e : r.energies)
            if (e.label == "brake") dissipated = e.value;
        EXPECT_NEAR(dissipated, 100.0 / 3.141592653589793, method == Method::Ida ? 1e-4 : 1e-2) << what;
    }
}

// J = 3 at 50 rad/s with drag T*(w/W)^2, T = 20 Nm at W = 40 rad/s:
// w(t) = w0/(1 + c*w0*t/J) with c = T/W^2.
TEST(SpeedTorque, CoastdownUnderQuadraticDragFollowsTheClosedForm) {
    for (Method method : kMethods) {
        const Trace r = RunTrace(R"({"simulation": {"stop": 10, "output_interval": 0.5},
            "nodes": [{"name": "wheel", "omega0": 50}],
            "elements": [{"type": "inertia", "node": "wheel", "J": 3},
                         {"type": "speed_torque", "name": "drag", "node": "wheel", "law": "quadratic",
                          "torque": 20, "speed": 40}],
            "instances": []})",
                                 method, kRtol, kStep);
        const double c = 20.0 / (40.0 * 40.0);
        const size_t w = r.Unknown("wheel.omega");
        // BDF2 at 1 ms: its global error, about 1e-6 of w0 here.
        const double tolerance = method == Method::Ida ? 10 * kRtol * 50.0 : 1e-4;
        for (size_t i = 0; i < r.t.size(); ++i)
            EXPECT_NEAR(r.y[i][w], 50.0 / (1.0 + c * 50.0 * r.t[i] / 3.0), tolerance)
                << MethodName(method) << " t = " << r.t[i];
    }
}

// J1 = 1 at 1 rad/s and J2 = 1 at rest, coupled only through backlash with
// a play of 0.2 rad, centred: for the first 0.1 s nothing is transmitted, so
// both speeds stay exactly as they started; then the contacts exchange
// momentum, whose sum stays 1.
TEST(ElastoBacklash, TransmitsNothingInsideThePlay) {
    for (Method method : kMethods) {
        const Trace r = RunTrace(R"({"simulation": {"stop": 1, "output_interval": 0.01},
            "nodes": [{"name": "a", "omega0": 1}, "b"],
            "elements": [{"type": "inertia", "node": "a", "J": 1}, {"type": "inertia", "node": "b", "J": 1},
                         {"type": "elasto_backlash", "name": "lash", "a": "a", "b": "b", "c": 1000, "d": 5,
                          "play": 0.2}],
            "instances": []})",
                                 method, kRtol, kStep);
        const char* what = MethodName(method);
        const size_t a = r.Unknown("a.omega"), b = r.Unknown("b.omega");
        const size_t torque = r.Output("lash.torque"), angle = r.Output("lash.angle");
        EXPECT_NEAR(EventTime(r, "lash pushing forward"), 0.1, EventTolerance(method, 0.1)) << what;
        bool pushed = false;
        for (size_t i = 0; i < r.t.size(); ++i) {
            // Inside the play, short of the edge by more than BDF2's step
            // moves it (a contact that begins at a step is in force over it).
            if (std::abs(r.outputs[i][angle]) < 0.1 - 1e-4) {
                EXPECT_EQ(r.outputs[i][torque], 0.0) << what << " t = " << r.t[i];
            }
            if (r.t[i] < 0.1 - kStep) {
                EXPECT_EQ(r.y[i][a], 1.0) << what << " t = " << r.t[i];
                EXPECT_EQ(r.y[i][b], 0.0) << what << " t = " << r.t[i];
            }
            pushed = pushed || r.outputs[i][torque] > 0.0;
            EXPECT_NEAR(r.y[i][a] + r.y[i][b], 1.0, 1e-9) << what << " t = " << r.t[i];
            // The damper never pulls.
            EXPECT_GE(r.outputs[i][torque] * r.outputs[i][angle], 0.0) << what << " t = " << r.t[i];
        }
        EXPECT_TRUE(pushed) << what;
    }
}

} // namespace
} // namespace dvx::sim

namespace dvx::sim {
namespace {

using testing::EveryElementModel;

// The car of the vehicle-launch example: every joule the engine supplies is
// dissipated or stored, to a millionth, with IDA at the example's rtol and
// with BDF2 at its step; and the ideal gears pass every joule on.
TEST(EnergyBalance, VehicleLaunchClosesToAMillionthOfTheEnergySupplied) {
    for (Method method : {Method::Ida, Method::Bdf2}) {
        RunOptions o;
        o.model = std::filesystem::path(DVX_SOURCE_DIR) / "examples" / "vehicle-launch" / "model.json";
        o.library = host::LibraryBesideProgram();
        o.method = method;
        o.keepSamples = false;
        std::ostringstream log;
        const RunResult r = RunSimulation(o, log);
        const EnergyReport& e = r.energy;
        std::cout << MethodName(method) << ": supplied " << e.supplied << " J, dissipated " << e.dissipated
                  << " J, stored " << e.storedEnd - e.storedStart << " J, at events " << e.atEvents
                  << " J, balance " << e.Balance() << " J; " << r.stats.steps << " steps, "
                  << r.stats.stateEvents << " state events\n";
        EXPECT_GT(e.supplied, 1e6) << MethodName(method);
        EXPECT_LE(std::abs(e.Balance()), 1e-6 * e.supplied) << MethodName(method);
        EXPECT_GE(r.stats.stateEvents, 8) << MethodName(method); // the car starts, the clutch locks four times
        for (const InstanceReport& g : r.reports)
            EXPECT_LE(std::abs(g.energyIn - g.energyOut), 1e-13 * g.energyIn) << g.name << " " << MethodName(method);
    }
}

// dF/dy + cj*dF/dy' of every element type (every example of its
// documentation, element_examples.h), in each of its modes, against central
// differences of the residual.
TEST(Jacobian, EveryElementInEveryModeMatchesItsResidual) {
    Model model = ParseModel(EveryElementModel(), "jacobian.json");
    std::set<std::string> types;
    for (const ElementRecord& e : model.elements) types.insert(e.name.substr(0, e.name.rfind('_')));
    EXPECT_EQ(types.size(), ElementTypes().size()) << "an element type without an example";
    std::ostringstream log;
    PlacedModel placed(std::move(model), host::LibraryBesideProgram(), log);
    Network& network = placed.network();
    const size_t n = static_cast<size_t>(network.Size());
    const size_t angle = [&] {
        for (size_t i = 0; i < n; ++i)
            if (network.Label(static_cast<int>(i)).find(".angle") != std::string::npos) return i;
        return n;
    }();
    ASSERT_LT(angle, n);
    // Speeds of a, b, c and the backlash angle: forward, backward, and stuck
    // (or free) modes of every hybrid element.
    const double points[][4] = {{3, 1, -2, 0.3}, {1, 3, 2, -0.3}, {2, 2, 0, 0.0}};
    const double t = 0.4, cj = 37.0, eps = 1e-6;
    for (const auto& point : points) {
        std::vector<double> y(n), yp(n);
        for (size_t i = 0; i < n; ++i) {
            y[i] = 0.3 + 0.1 * static_cast<double>(i);
            yp[i] = 0.05 * static_cast<double>(i) - 0.2;
        }
        y[0] = point[0], y[1] = point[1], y[2] = point[2], y[angle] = point[3];
        network.StartModes(t, y.data(), yp.data());
        Eigen::SparseMatrix<double> jac = network.Pattern();
        network.Jacobian(t, y.data(), yp.data(), cj, jac.valuePtr());
        const Eigen::MatrixXd analytic(jac);
        Eigen::MatrixXd numeric = Eigen::MatrixXd::Zero(static_cast<long>(n), static_cast<long>(n));
        std::vector<double> fPlus(n), fMinus(n);
        for (size_t col = 0; col < n; ++col) {
            for (int pass = 0; pass < 2; ++pass) {
                std::vector<double>& v = pass == 0 ? y : yp;
                const double saved = v[col];
                v[col] = saved + eps;
                network.Residual(t, y.data(), yp.data(), fPlus.data());
                v[col] = saved - eps;
                network.Residual(t, y.data(), yp.data(), fMinus.data());
                v[col] = saved;
                for (size_t row = 0; row < n; ++row)
                    numeric(static_cast<long>(row), static_cast<long>(col)) +=
                        (pass == 0 ? 1.0 : cj) * (fPlus[row] - fMinus[row]) / (2 * eps);
            }
        }
        for (size_t row = 0; row < n; ++row)
            for (size_t col = 0; col < n; ++col)
                EXPECT_NEAR(analytic(static_cast<long>(row), static_cast<long>(col)),
                            numeric(static_cast<long>(row), static_cast<long>(col)), 1e-5)
                    << "row " << network.Label(static_cast<int>(row)) << ", column "
                    << network.Label(static_cast<int>(col)) << ", speeds " << point[0] << " " << point[1] << " "
                    << point[2];
    }
}

} // namespace
} // namespace dvx::sim

// IDA against what is known for certain: the closed form of motor-gear at
// several tolerances, a torque step between two output points, and the
// statistics a run reports.
#include "hostsim/kit/library.h"
#include "hostsim/sim/run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace dvx::sim {
namespace {

namespace fs = std::filesystem;

// Motor-gear with the torque switched on at `ts`: tau 2 Nm on J1 0.01,
// K 4, J2 0.5 and d 0.2 on the load.
struct MotorGear {
    double tau = 2, j1 = 0.01, k = 4, j2 = 0.5, d = 0.2, ts = 0;
    double T() const { return (j2 + k * k * j1) / d; }
    double Omega2(double t) const { return t < ts ? 0.0 : k * tau / d * (1 - std::exp(-(t - ts) / T())); }
    double M1(double t) const {
        return t < ts ? 0.0 : tau * (1 - k * k * j1 / (j2 + k * k * j1) * std::exp(-(t - ts) / T()));
    }
};

fs::path WriteModel(const std::string& name, const std::string& torque, double stop, double interval) {
    const fs::path file = fs::temp_directory_path() / ("dvx-ida-" + name + ".json");
    std::ofstream(file) << R"({"simulation": {"stop": )" << stop << R"(, "output_interval": )" << interval
                        << R"(}, "nodes": ["motor", "load"], "elements": [
        {"type": "torque_source", "node": "motor", "torque": )"
                        << torque << R"(},
        {"type": "inertia", "node": "motor", "J": 0.01}, {"type": "inertia", "node": "load", "J": 0.5},
        {"type": "damper", "a": "load", "d": 0.2}],
      "instances": [{"name": "gear", "parameters": "4", "ROT1": "motor", "ROT2": "load"}]})";
    return file;
}

RunResult RunIda(const fs::path& model, double rtol) {
    RunOptions o;
    o.model = model;
    o.library = host::LibraryBesideProgram();
    o.method = Method::Ida;
    o.rtol = rtol;
    std::ostringstream log;
    return RunSimulation(o, log);
}

size_t Column(const RunResult& r, const std::string& name) {
    for (size_t c = 0; c < r.columns.size(); ++c)
        if (r.columns[c] == name) return c;
    ADD_FAILURE() << "no column " << name;
    return 0;
}

TEST(IdaClosedForm, ErrorStaysBelowTenTimesRtolAndFallsWithIt) {
    const fs::path model = WriteModel("closed-form", "2", 10.0, 0.05);
    const MotorGear exact;
    const double finalSpeed = exact.Omega2(10.0), finalTorque = exact.M1(10.0);
    double previous = INFINITY;
    for (double rtol : {1e-4, 1e-6, 1e-8}) {
        const RunResult r = RunIda(model, rtol);
        const size_t w2 = Column(r, "gear.OMEGA2"), m1 = Column(r, "gear.M1");
        double eSpeed = 0, eTorque = 0;
        for (const std::vector<double>& row : r.samples) {
            eSpeed = std::max(eSpeed, std::abs(row[w2] - exact.Omega2(row[0])));
            eTorque = std::max(eTorque, std::abs(row[m1] - exact.M1(row[0])));
        }
        std::cout << "rtol " << rtol << ": " << r.stats.steps << " steps, largest error " << eSpeed
                  << " rad/s (" << eSpeed / finalSpeed << " of the final speed), " << eTorque << " Nm\n";
        EXPECT_LT(eSpeed, 10 * rtol * finalSpeed) << "rtol " << rtol;
        EXPECT_LT(eTorque, 10 * rtol * finalTorque) << "rtol " << rtol;
        EXPECT_LT(eSpeed, previous) << "rtol " << rtol;
        previous = eSpeed;
    }
    fs::remove(model);
}

// The step lies between two samples (0.5 and 0.55): IDA stops at it and
// restarts, so the first sample after it follows the closed form started at
// the step, not a smeared one.
TEST(IdaClosedForm, TorqueStepBetweenSamplesIsATimeEvent) {
    const double rtol = 1e-6;
    const fs::path model = WriteModel("step", R"({"type": "step", "after": 2, "time": 0.537})", 1.0, 0.05);
    const RunResult r = RunIda(model, rtol);
    fs::remove(model);
    MotorGear exact;
    exact.ts = 0.537;
    EXPECT_EQ(r.stats.timeEvents, 1);
    const size_t w2 = Column(r, "gear.OMEGA2"), m1 = Column(r, "gear.M1");
    bool seen = false;
    for (const std::vector<double>& row : r.samples) {
        if (row[0] < exact.ts) {
            EXPECT_EQ(row[w2], 0.0) << "t = " << row[0];
            EXPECT_EQ(row[m1], 0.0) << "t = " << row[0];
            continue;
        }
        if (!seen) {
            EXPECT_NEAR(row[0], 0.55, 1e-12);
            EXPECT_NEAR(row[w2], exact.Omega2(row[0]), 10 * rtol * exact.Omega2(row[0])) << "t = " << row[0];
            EXPECT_NEAR(row[m1], exact.M1(row[0]), 10 * rtol * exact.M1(row[0])) << "t = " << row[0];
            seen = true;
        }
        EXPECT_NEAR(row[w2], exact.Omega2(row[0]), 10 * rtol * exact.Omega2(1.0)) << "t = " << row[0];
    }
    EXPECT_TRUE(seen);
    std::ostringstream summary;
    RunOptions o;
    o.model = model;
    PrintSummary(r, summary);
    EXPECT_NE(summary.str().find(" 1 time events, "), std::string::npos) << summary.str();
}

// What the solver did is counted, and the counts hang together.
TEST(IdaStatistics, CountsOfARunAreConsistent) {
    const fs::path model = WriteModel("stats", R"({"type": "table", "points": [[0, 0], [0.3, 2], [0.7, 2], [0.8, 1]]})",
                                      1.0, 0.1);
    const RunResult r = RunIda(model, 1e-6);
    fs::remove(model);
    const SolverStats& s = r.stats;
    EXPECT_EQ(s.timeEvents, 3); // the corners at 0.3, 0.7 and 0.8; 0 is the start
    EXPECT_GT(s.steps, 10);
    EXPECT_GE(s.residuals, s.steps);
    EXPECT_GE(s.factorizations, 1);
    EXPECT_LE(s.factorizations, s.jacobians + 1);
    // Every residual evaluation at a new point is one step call of the
    // single instance; some points repeat.
    EXPECT_GT(s.stepCalls, s.steps);
    EXPECT_LE(s.stepCalls, s.residuals + s.steps + 2 * static_cast<long>(r.samples.size()));
    EXPECT_GT(s.seconds, 0.0);
}

} // namespace
} // namespace dvx::sim

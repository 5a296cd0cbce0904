// Runs of the simulator that must fail with one clear message and leave no
// half-written output, and the network elements checked against their
// known responses.
#include "hostsim/kit/library.h"
#include "hostsim/sim/run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace dvx::sim {
namespace {

namespace fs = std::filesystem;

const char* const kMotorGear = R"({
  "simulation": {"stop": 0.5, "step": 0.001, "output_interval": 0.01},
  "nodes": ["motor", "load"],
  "quantities": [{"name": "RATIO", "value": 3}],
  "elements": [
    {"type": "torque_source", "node": "motor", "torque": 2.0},
    {"type": "inertia", "node": "motor", "J": 0.01},
    {"type": "inertia", "node": "load", "J": 0.5},
    {"type": "damper", "a": "load", "b": "ground", "d": 0.2}],
  "instances": [{"name": "gear", "parameters": "PARAMS", "ROT1": "motor", "ROT2": "load"}]})";

class RunFailures : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("dvx-run-" + std::string(::testing::UnitTest::GetInstance()
                                                                           ->current_test_info()
                                                                           ->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        SetFault(0);
        fs::remove_all(dir);
    }

    // Writes the model (PARAMS replaced by `params`) and returns run options
    // with a CSV target in the test's own folder.
    RunOptions Options(const std::string& params, const std::string& model = kMotorGear) {
        std::string text = model;
        if (const size_t at = text.find("PARAMS"); at != std::string::npos) text.replace(at, 6, params);
        RunOptions o;
        o.model = dir / "model.json";
        std::ofstream(o.model) << text;
        o.library = host::LibraryBesideProgram();
        o.csv = dir / "out.csv";
        return o;
    }

    static void SetFault(int fault) {
        static const std::unique_ptr<host::ComponentLibrary> broken =
            host::LoadComponentLibrary(host::LibraryBesideProgram("HostsimBroken"));
        const int32_t argument[] = {fault};
        broken->CallExport("BrokenSetFault", argument);
    }

    // The run's error message, after checking that it left no file behind.
    std::string Failure(const RunOptions& o) {
        std::ostringstream log;
        std::string message = "(no error)";
        try {
            RunSimulation(o, log);
        } catch (const SimError& e) {
            message = e.what();
        }
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_EQ(entry.path().filename(), "model.json") << "left behind after: " << message;
        return message;
    }

    fs::path dir;
};

struct FailureCase {
    const char* what;
    int fault;           // of the test library; -1: the real component
    const char* params;
    const char* message; // must appear in the error
};

TEST_F(RunFailures, EachFailureNamesItsCauseAndLeavesNoOutput) {
    const FailureCase cases[] = {
        {"unknown quantity", -1, "RATIOX",
         R"(instance 'gear', call type 2 (layout): the parameter text names "RATIOX", which is not a quantity of the model (quantities: RATIO))"},
        {"non-zero status", 1, "4", "instance 'gear', call type 3 (step): UDMMain returned status 28003 (a block could not be locked)"},
        {"lock kept", 2, "4", "instance 'gear', call type 3 (step): call type 3: InstanceData lock count 0 before, 1 after"},
        {"error message", 4, "4",
         "instance 'gear', call type 2 (layout): the component reported an error (severity 3): test gear: layout went wrong"},
    };
    for (const FailureCase& c : cases) {
        RunOptions o = Options(c.params);
        if (c.fault >= 0) {
            SetFault(c.fault);
            o.library = host::LibraryBesideProgram("HostsimBroken");
        }
        const std::string error = Failure(o);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": got " << error;
        SetFault(0);
    }
}

TEST_F(RunFailures, LibraryThatCannotBeLoadedOrLacksAnExport) {
    RunOptions o = Options("4");
    o.library = dir / "NoSuchLibrary.so";
    std::string error = Failure(o);
    EXPECT_NE(error.find("cannot load the component library " + o.library.string()), std::string::npos) << error;
    o.library = host::LibraryBesideProgram("HostsimBrokenNoMain");
    error = Failure(o);
    EXPECT_NE(error.find("lacks the export UDMMain"), std::string::npos) << error;
}

TEST_F(RunFailures, SingularNetworkIsExplained) {
    const std::string model = R"({"nodes": ["a", "b"],
      "elements": [{"type": "torque_source", "node": "a", "torque": 1}],
      "instances": [{"name": "gear", "parameters": "2", "ROT1": "a", "ROT2": "b"}]})";
    const std::string error = Failure(Options("", model));
    EXPECT_NE(error.find("at t = 0 the network's equations are singular"), std::string::npos) << error;
}

TEST_F(RunFailures, FailedRunLeavesAnEarlierFileAsItWas) {
    RunOptions o = Options("RATIOX");
    std::ofstream(*o.csv) << "earlier\n";
    std::ostringstream log;
    EXPECT_THROW(RunSimulation(o, log), SimError);
    std::ifstream in(*o.csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "earlier");
}

TEST_F(RunFailures, OverridesReachTheComponentAsTheHostPassesThem) {
    RunOptions o = Options("4");
    o.params = {{"gear", "2.5k"}};
    std::ostringstream log;
    RunResult r = RunSimulation(o, log);
    EXPECT_EQ(r.reports[0].finals.back(), 2500.0); // K, the last output
    o.params = {{"gear", "2,3"}};
    r = RunSimulation(o, log);
    EXPECT_EQ(r.reports[0].finals.back(), 2.0);
    EXPECT_NE(log.str().find("warning: instance 'gear', call type 1 (set-up): Quorin1: Too many parameters"),
              std::string::npos)
        << log.str();
    o.params = {{"gear", "RATIO"}};
    EXPECT_EQ(RunSimulation(o, log).reports[0].finals.back(), 3.0);
    o.params = {{"gaer", "2"}};
    try {
        RunSimulation(o, log);
        FAIL() << "no error";
    } catch (const SimError& e) {
        EXPECT_EQ(std::string(e.what()), "--param gaer=2: the model has no instance named 'gaer'");
    }
}

TEST_F(RunFailures, SamplesLieExactlyOnTheOutputGrid) {
    for (Method method : {Method::Ida, Method::Bdf2}) {
        RunOptions o = Options("4");
        o.method = method;
        o.start = 0.1;
        o.stop = 0.705; // not on the grid: a last sample at 0.705
        o.step = 0.003; // does not divide 0.01: bdf2 steps at 0.003 and interpolates the samples
        std::ostringstream log;
        const RunResult r = RunSimulation(o, log);
        ASSERT_EQ(r.samples.size(), 62u) << MethodName(method);
        for (size_t i = 0; i + 1 < r.samples.size(); ++i)
            EXPECT_EQ(r.samples[i][0], 0.1 + static_cast<double>(i) * 0.01) << MethodName(method);
        EXPECT_EQ(r.samples.back()[0], 0.705);
        EXPECT_NE(log.str().find("its last sample is an extra one at the stop time"), std::string::npos) << log.str();
        if (method == Method::Bdf2) {
            EXPECT_EQ(r.plan.step, 0.003);
            EXPECT_EQ(r.stats.steps, 202); // 0.605 s in steps of 0.003 from the start, the last one short
        }
    }
}

// Element responses seen through a gear of K = 1 used as a probe: it ties
// the otherwise unconnected node "probe" to the probed node and reports the
// probed node's speed as OMEGA1 (its own torque is 0).
struct ElementCase {
    const char* what;
    const char* nodes;
    const char* elements;
    const char* probed;
    double stop;
    double expected;
    double tolerance;
};

double ProbeAt(const ElementCase& c, Method method) {
    const fs::path file = fs::temp_directory_path() / "dvx-elements.json";
    std::ofstream(file) << R"({"simulation": {"stop": )" << c.stop
                        << R"(, "step": 0.0001, "output_interval": 0.01}, "nodes": )" << c.nodes
                        << R"(, "elements": )" << c.elements
                        << R"(, "instances": [{"name": "p", "parameters": "1", "ROT1": ")" << c.probed
                        << R"(", "ROT2": "probe"}]})";
    RunOptions o;
    o.model = file;
    o.library = host::LibraryBesideProgram();
    o.method = method;
    std::ostringstream log;
    const RunResult r = RunSimulation(o, log);
    fs::remove(file);
    EXPECT_EQ(r.samples.back()[1], 0.0) << c.what << ": the probe draws no torque";
    return r.samples.back()[3]; // p.OMEGA1
}

TEST(NetworkElements, ResponsesMatchTheirClosedForms) {
    const ElementCase cases[] = {
        {"spring and inertia oscillate: w0*cos(sqrt(c/J)*t)", R"([{"name": "a", "omega0": 1}, "b", "probe"])",
         R"([{"type": "inertia", "node": "a", "J": 1}, {"type": "spring", "a": "a", "c": 100},
             {"type": "damper", "a": "b", "d": 1}])",
         "a", 1.0, std::cos(10.0), 1e-3},
        {"speed source drags an inertia through a damper: 10*(1 - exp(-d/J*t))", R"(["a", "b", "probe"])",
         R"([{"type": "speed_source", "node": "a", "speed": 10}, {"type": "inertia", "node": "b", "J": 2},
             {"type": "damper", "a": "a", "b": "b", "d": 4}])",
         "b", 1.0, 10.0 * (1.0 - std::exp(-2.0)), 1e-5},
        {"torque step on a massless damper: tau/d after the step", R"(["a", "b", "probe"])",
         R"([{"type": "torque_source", "node": "a", "torque": {"type": "step", "after": 3, "time": 0.5}},
             {"type": "damper", "a": "a", "d": 2}, {"type": "damper", "a": "b", "d": 1}])",
         "a", 1.0, 1.5, 1e-12},
        {"torque ramp on an inertia: t^2 for 4 Nm/s on 2 kg m^2", R"(["a", "b", "probe"])",
         R"([{"type": "torque_source", "node": "a", "torque": {"type": "ramp", "to": 4, "duration": 1}},
             {"type": "inertia", "node": "a", "J": 2}, {"type": "damper", "a": "b", "d": 1}])",
         "a", 1.0, 1.0, 1e-6},
        {"preloaded spring between inertias: momentum 0, b turns back", R"(["a", "b", "probe"])",
         R"([{"type": "inertia", "node": "a", "J": 1}, {"type": "inertia", "node": "b", "J": 1},
             {"type": "spring", "a": "a", "b": "b", "c": 50, "torque0": 2}])",
         "b", 0.1, 2.0 / 10.0 * std::sin(10.0 * 0.1), 1e-4},
    };
    for (Method method : {Method::Ida, Method::Euler, Method::Bdf2})
        for (const ElementCase& c : cases) {
            const double tolerance = method == Method::Euler ? std::max(c.tolerance, 5e-3) : c.tolerance;
            EXPECT_NEAR(ProbeAt(c, method), c.expected, tolerance) << c.what << " (" << MethodName(method) << ")";
        }
}

} // namespace
} // namespace dvx::sim

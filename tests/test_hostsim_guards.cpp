// A run always ends, with a result that is right or a message that helps:
// zero play, stiff elements, endless switching and huge input are bounded;
// results that are not finite or do not balance are no success; singular
// networks name what makes them so, and the well-posed ones run.
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/input/json_reader.h"
#include "hostsim/sim/input/text_file.h"
#include "hostsim/sim/integrators/events.h"
#include "tests/run_harness.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace dvx::sim {
namespace {

using testing::Column;
using testing::ExampleOptions;
using testing::FailureOf;
using testing::RunQuietly;
using testing::TextOptions;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Zero play leaves no free interval to be in: the element is the spring and
// damper in parallel that it is, whatever its starting angle and speed, and
// runs as the same spring and damper written as two elements, with no event
// but the start. The first row is a torque through a gear of 4 onto a load
// held to ground, which switched modes without end at t = 4e-9 s.
TEST(Backlash, ZeroPlayRunsAsTheSpringAndDamperItIs) {
    const struct {
        const char* what;
        double angle0, omega0;
        const char* torque;
    } rows[] = {
        {"at rest, a torque through the gear", 0.0, 0.0, "2"},
        {"a starting angle off zero", 0.05, 0.0, "2"},
        {"a speed that closes it at once", 0.0, -3.0, "0"},
        {"a torque that reverses", -0.02, 1.0, R"({"type": "sine", "amplitude": 40, "frequency": 3})"},
    };
    auto model = [](const std::string& joint, double omega0, const std::string& torque) {
        return R"({"simulation": {"stop": 1, "output_interval": 0.01, "rtol": 1e-9, "atol": 1e-10},
          "nodes": [{"name": "motor", "omega0": )" + ShortestText(omega0) + R"(},
                    {"name": "load", "omega0": )" + ShortestText(omega0 / 4.0) + R"(}],
          "elements": [{"type": "torque_source", "node": "motor", "torque": )" + torque + R"(},
            {"type": "inertia", "node": "motor", "J": 0.01}, {"type": "inertia", "name": "wheel", "node": "load", "J": 0.5},
            )" + joint + R"(],
          "instances": [{"name": "gear", "parameters": "4", "ROT1": "motor", "ROT2": "load"}]})";
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string lash = R"({"type": "elasto_backlash", "name": "lash", "a": "load", "c": 1000, "d": 1,
            "play": 0, "angle0": )" + ShortestText(row.angle0) + "}";
        const std::string pair = R"({"type": "spring", "a": "load", "c": 1000, "torque0": )" +
                                 ShortestText(1000 * row.angle0) + R"(}, {"type": "damper", "a": "load", "d": 1})";
        RunOptions zeroPlay = TextOptions("zero-play", model(lash, row.omega0, row.torque));
        zeroPlay.outputs = {"wheel.omega", "gear.M1"};
        std::string log;
        const RunResult r = RunQuietly(zeroPlay, &log);
        EXPECT_EQ(log.find("starts at"), std::string::npos) << log;
        RunOptions springDamper = TextOptions("spring-damper", model(pair, row.omega0, row.torque));
        springDamper.outputs = zeroPlay.outputs;
        const RunResult expected = RunQuietly(springDamper);
        EXPECT_EQ(r.stats.eventCount, 1) << "the start only";
        EXPECT_TRUE(r.findings.empty()) << r.findings.front();
        ASSERT_EQ(r.samples.size(), expected.samples.size());
        for (size_t k = 0; k < r.samples.size(); ++k)
            for (size_t c = 1; c < r.samples[k].size(); ++c)
                EXPECT_NEAR(r.samples[k][c], expected.samples[k][c], 1e-6 * (1.0 + std::abs(expected.samples[k][c])))
                    << r.columns[c] << " at t = " << r.samples[k][0];
    }
}

TEST(StepGuard, NamesTheLimitAndWhatHoldsTheStepsShort) {
    RunOptions o = TextOptions("stiff", R"({"simulation": {"stop": 1, "max_steps": 2000},
      "nodes": ["a", "b"],
      "elements": [{"type": "torque_source", "node": "a", "torque": 10}, {"type": "inertia", "node": "a", "J": 0.01},
        {"type": "spring", "name": "shaft", "a": "a", "b": "b", "c": 1e9}, {"type": "inertia", "node": "b", "J": 0.5}],
      "instances": []})");
    for (Method method : {Method::Ida, Method::Bdf2}) {
        o.method = method;
        o.step = 1e-5;
        const std::string error = FailureOf(o);
        EXPECT_TRUE(Has(error, "the solver has taken more than 2000 steps (max_steps)")) << error;
        if (method == Method::Ida) {
            EXPECT_TRUE(Has(error, "the largest local error is in shaft.torque")) << error;
        }
    }
}

// Every breakpoint of a 1500-point table is an event: all are counted, the
// first 1000 kept.
TEST(EventRecord, KeepsTheFirstEventsAndCountsThemAll) {
    std::string points = "[0, 0]";
    for (int i = 1; i <= 1500; ++i) points += ", [" + std::to_string(i * 0.001) + ", " + std::to_string(i % 2) + "]";
    const RunOptions o = TextOptions("many", R"({"simulation": {"stop": 1.6, "output_interval": 0.1},
      "nodes": ["a"], "elements": [{"type": "torque_source", "node": "a", "torque": {"type": "table", "points": [)" +
                                                 points + R"(]}}, {"type": "inertia", "node": "a", "J": 1}],
      "instances": []})");
    const RunResult r = RunQuietly(o);
    EXPECT_EQ(r.stats.timeEvents, 1500);
    EXPECT_EQ(r.stats.eventCount, 1501); // and the start
    EXPECT_EQ(r.stats.events.size(), kKeptEvents);
}

TEST(EventRecord, EndlessSwitchingAtOneInstantIsAnError) {
    SolverStats stats;
    const Model model = ParseModel(R"({"nodes": ["a"], "elements": [{"type": "inertia", "node": "a", "J": 1}],
                                       "instances": []})",
                                   "m.json");
    std::ostringstream log;
    Session session(host::LibraryBesideProgram(), log, false);
    const Network network(model, session);
    const Timeline line(network, 0.0, 10.0);
    EventLog events(stats, line);
    try {
        for (int i = 0; i < 1000; ++i) events.Add(1.0 + i * 1e-9, "crossing", {{"clutch", "stuck", 0}});
        ADD_FAILURE() << "no error";
    } catch (const SimError& e) {
        EXPECT_TRUE(Has(e.what(), "the modes switch without end: 200 events within")) << e.what();
        EXPECT_TRUE(Has(e.what(), "clutch stuck")) << e.what();
    }
}

struct BadResult {
    const char* what;
    const char* change; // applied to vehicle-launch with --set, or an option
    double atol;        // 0: the file's
    const char* finding;
};

TEST(ResultChecks, ResultsThatAreNotFiniteOrDoNotBalanceAreNoSuccess) {
    const BadResult cases[] = {
        {"a speed of 1e200", "engine.omega0=1e200", 0, "the energy stored at the start is inf J"},
        {"an absolute tolerance of 1e3", "", 1e3, "the energy account does not close: its balance is"},
    };
    for (const BadResult& c : cases) {
        RunOptions o = ExampleOptions("vehicle-launch");
        if (*c.change) {
            const std::string change = c.change;
            o.changes.push_back({change.substr(0, change.find('=')), change.substr(change.find('=') + 1)});
        }
        if (c.atol > 0) o.atol = c.atol;
        const RunResult r = RunQuietly(o);
        ASSERT_FALSE(r.findings.empty()) << c.what;
        bool found = false;
        for (const std::string& f : r.findings) found = found || Has(f, c.finding);
        EXPECT_TRUE(found) << c.what << ": " << r.findings.front();
    }
    EXPECT_TRUE(RunQuietly(ExampleOptions("vehicle-launch")).findings.empty());
}

#if !defined(_WIN32)
TEST(BoundedInput, DevicesAndDeepNestingEndWithAMessage) {
    EXPECT_TRUE(Has(FailureOf([] {
                        RunOptions o = ExampleOptions("motor-gear");
                        o.model = "/dev/zero";
                        return o;
                    }()),
                    "/dev/zero: the model file holds more than 256 MiB"));
    RunOptions reference = ExampleOptions("motor-gear");
    reference.reference = "/dev/zero";
    EXPECT_TRUE(Has(FailureOf(reference), "/dev/zero: the CSV file holds more than 256 MiB"));
    const RunOptions csv = TextOptions("zero", R"({"nodes": ["a"], "elements": [{"type": "torque_source", "node": "a",
      "torque": {"type": "csv", "file": "/dev/zero", "column": "x"}}, {"type": "inertia", "node": "a", "J": 1}],
      "instances": []})");
    EXPECT_TRUE(Has(FailureOf(csv), "/elements/0/torque: /dev/zero: the CSV file holds more than 256 MiB"));
}
#endif

TEST(BoundedInput, JsonNestingAndNumbersBeyondRangeNameThePlace) {
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {std::string(100000, '['), "m.json: /0/0/0/0"},
        {std::string(100000, '['), "nested deeper than 64 levels"},
        {R"({"nodes": ["a"], "elements": [{"type": "inertia", "node": "a", "J": 1e400}]})",
         "m.json: /elements/0/J: the number 1e400 lies beyond the range of a double"},
        {R"({"nodes": ["a"], "elements": [2, -1e999]})", "m.json: /elements/1: the number -1e999"},
    };
    for (const auto& c : cases) {
        try {
            ParseJson(c.text, "m.json");
            ADD_FAILURE() << c.message;
        } catch (const SimError& e) {
            EXPECT_TRUE(Has(e.what(), c.message)) << e.what();
        }
    }
}

TEST(Messages, ShowControlBytesAndAnEmbeddedNulAsText) {
    const std::string error = FailureOf(TextOptions("ctl", std::string("{\"nodes\": [\"a\\u0000b\\u001b[2J\"]}")));
    EXPECT_TRUE(Has(error, "the name \"a\\x00b\\x1b[2J\" may hold only")) << error;
    // Well-formed UTF-8 stays as it is; a byte that is not part of it does not.
    EXPECT_EQ(Printable("Zahnr\xc3\xa4" "der \xff\xc3"), "Zahnr\xc3\xa4" "der \\xff\\xc3");
}

struct NetworkCase {
    const char* what;
    const char* elements;
    const char* instances;
    const char* expected; // in the message, or in a warning of a run that goes on
    bool runs;
};

TEST(SingularNetworks, NameWhatMakesThemSoAndTheWellPosedOnesRun) {
    const NetworkCase cases[] = {
        {"a loop of gears whose ratios agree",
         R"([{"type": "torque_source", "node": "a", "torque": 1}, {"type": "inertia", "node": "a", "J": 0.1},
            {"type": "inertia", "node": "b", "J": 1}])",
         R"([{"name": "g1", "parameters": "2", "ROT1": "a", "ROT2": "b"},
            {"name": "g2", "parameters": "2", "ROT1": "a", "ROT2": "b"}])",
         "g1.M1, g2.M1 are determined only together", true},
        {"a clutch between two speed sources",
         R"([{"type": "speed_source", "name": "s1", "node": "a", "speed": 10},
            {"type": "speed_source", "name": "s2", "node": "b", "speed": 5},
            {"type": "clutch", "name": "clutch", "a": "a", "b": "b", "torque": 20}])",
         "[]", "", true},
        {"a speed source geared to the ground",
         R"([{"type": "speed_source", "name": "src", "node": "a", "speed": 10},
            {"type": "inertia", "node": "b", "J": 1}])",
         R"([{"name": "gear", "parameters": "2", "ROT1": "a", "ROT2": "ground"}])",
         "(elements and instances involved: gear, src)", false},
        {"an engine on a node without inertia, the clutch open",
         R"([{"type": "engine", "name": "engine", "node": "a", "table": [[0, 100], [500, 100]]},
            {"type": "clutch", "name": "clutch", "a": "a", "b": "b", "torque": 0},
            {"type": "inertia", "node": "b", "J": 10}])",
         "[]", "a.omega is not fixed by them (elements and instances involved: engine, clutch)", false},
        {"a spring's torque0 on a node that only a torque source drives",
         R"([{"type": "torque_source", "node": "a", "torque": 1},
            {"type": "spring", "name": "shaft", "a": "a", "b": "b", "c": 100, "torque0": 5},
            {"type": "inertia", "node": "b", "J": 1}])",
         "[]", "shaft.torque starts at 1, not at the model's 5", true},
    };
    for (const NetworkCase& c : cases) {
        const RunOptions o = TextOptions("net", std::string(R"({"simulation": {"stop": 1}, "nodes": ["a", "b"],
          "elements": )") + c.elements + R"(, "instances": )" + c.instances + "}");
        if (!c.runs) {
            const std::string error = FailureOf(o);
            EXPECT_TRUE(Has(error, "the network's equations are singular")) << c.what << ": " << error;
            EXPECT_TRUE(Has(error, c.expected)) << c.what << ": " << error;
            continue;
        }
        std::string log;
        const RunResult r = RunQuietly(o, &log);
        EXPECT_TRUE(Has(log, c.expected)) << c.what << ": " << log;
        EXPECT_TRUE(r.findings.empty()) << c.what;
    }
}

TEST(Messages, AParameterTextLongerThanTheNumberSyntaxReadsIsPointedOut) {
    RunOptions o = ExampleOptions("motor-gear");
    o.stop = 0.1;
    o.params = {{"gear", "4" + std::string(130, ' ')}};
    std::string log;
    RunQuietly(o, &log);
    EXPECT_TRUE(Has(log, "warning: instance 'gear': its parameter text has 131 characters, and the component's "
                         "number syntax reads only the first 127"))
        << log;
    o.params = {{"gear", "4"}};
    RunQuietly(o, &log);
    EXPECT_FALSE(Has(log, "parameter text has")) << log;
}

// Two speed sources 10 and 5 rad/s apart through a clutch of 20 Nm: it
// slips, and burns 20 Nm * 5 rad/s.
TEST(SingularNetworks, AClutchBetweenTwoSpeedSourcesSlips) {
    const RunOptions o = TextOptions("slip2", R"({"simulation": {"stop": 1}, "nodes": ["a", "b"],
      "elements": [{"type": "speed_source", "node": "a", "speed": 10}, {"type": "speed_source", "node": "b", "speed": 5},
        {"type": "clutch", "name": "clutch", "a": "a", "b": "b", "torque": 20}], "instances": []})");
    const RunResult r = RunQuietly(o);
    EXPECT_NEAR(r.energy.dissipated, 100.0, 1e-9);
}

} // namespace
} // namespace dvx::sim

namespace dvx::tool {
namespace {

TEST_F(ToolTest, CommandLineFaultsExitWithOneAndBracketsStayInPatterns) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"run", "--no-such-option"}, "--no-such-option"},
        {{"run", "--stop-time", "soon"}, "soon"},
        {{"run", "--csv", ""}, "--csv: the file name is empty"},
        {{"run", "--plot", ""}, "--plot: the file name is empty"},
        {{"run", "--output", "[gear.K]"}, "--output [gear.K]: matches no column"},
        {{"run", "--max-steps", "0"}, "--max-steps: expected a whole number"},
    };
    for (const auto& c : cases) {
        const Outcome o = Tool(c.args);
        EXPECT_EQ(o.code, 1) << c.message;
        EXPECT_TRUE(Has(o.err + o.out, c.message)) << c.message << ": " << o.err;
    }
    const Outcome set = Tool({"run", "--stop-time", "0.1", "--output", "gear.[K,M]1", "--csv", In("set.csv")});
    ASSERT_EQ(set.code, 0) << set.err;
    std::ifstream csv(dir / "set.csv");
    std::string header;
    std::getline(csv, header);
    EXPECT_EQ(header, "time,gear.M1"); // one pattern, its set holding a comma
}

// From a start of 1e10 s the 12-digit time repeated itself, and the tool
// refused its own CSV as a reference.
TEST_F(ToolTest, TimeHasTheDigitsItsSamplesNeed) {
    const Outcome run = Tool({"run", "--start-time", "1e10", "--stop-time", "10000000001", "--output-interval", "0.01",
                              "--csv", In("late.csv")});
    ASSERT_EQ(run.code, 0) << run.err;
    const Outcome again = Tool({"run", "--start-time", "1e10", "--stop-time", "10000000001", "--output-interval",
                                "0.01", "--reference", In("late.csv"), "--reference-tolerance", "0"});
    EXPECT_EQ(again.code, 0) << again.err;
    std::ifstream csv(dir / "late.csv");
    std::string line;
    std::getline(csv, line);
    std::getline(csv, line);
    std::getline(csv, line);
    EXPECT_EQ(line.substr(0, line.find(',')), "10000000000.01");
}

TEST_F(ToolTest, ResultsThatFailACheckExitWithTwoAfterTheFilesAreWritten) {
    const Outcome o = Tool({"run", DVX_SOURCE_DIR "/examples/vehicle-launch/model.json", "--atol", "1e3", "--csv",
                            In("bad.csv")});
    EXPECT_EQ(o.code, 2);
    EXPECT_TRUE(Has(o.err, "the run completed, but its results fail a check")) << o.err;
    EXPECT_TRUE(fs::exists(dir / "bad.csv"));
}

} // namespace
} // namespace dvx::tool

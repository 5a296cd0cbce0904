// The run options that choose, compare and draw: column patterns, element
// outputs, the comparison with a reference result, and their bad input.
#include "hostsim/sim/output/columns.h"
#include "hostsim/sim/output/plot.h"
#include "hostsim/sim/output/reference.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

namespace dvx::tool {
namespace {

struct PatternCase {
    const char* pattern;
    const char* name;
    bool matches;
};

TEST(ColumnPatterns, MatchWholeNamesShellStyle) {
    const PatternCase cases[] = {
        {"gear*.OMEGA*", "gear3.OMEGA1", true}, {"gear*.OMEGA*", "gear3.M1", false},
        {"gear*.OMEGA*", "xgear3.OMEGA1", false}, {"*.mode", "clutch.mode", true},
        {"*.mode", "clutch.model", false},        {"?ear.K", "gear.K", true},
        {"?ear.K", "ear.K", false},               {"[gh]ear", "hear", true},
        {"[!g]ear", "gear", false},               {"[!g]ear", "bear", true},
        {"g[0-9]", "g7", true},                   {"g[0-9]", "gx", false},
        {"g[0-9][0-9]", "g7", false},             {"a\\*", "a*", true},
        {"a\\*", "ab", false},                    {"*", "", true},
        {"", "", true},                           {"", "a", false},
        {"a**b", "ab", true},                     {"[", "[", true},
        {"load.omega", "load.omega", true},       {"load.omega", "load.omega0", false},
    };
    for (const PatternCase& c : cases)
        EXPECT_EQ(sim::MatchesPattern(c.pattern, c.name), c.matches) << c.pattern << " on " << c.name;
}

constexpr const char* kModel = R"({
  "nodes": ["motor", "load"],
  "elements": [
    {"type": "torque_source", "name": "drive", "node": "motor", "torque": 2.0},
    {"type": "inertia", "node": "motor", "J": 0.01},
    {"type": "inertia", "name": "load", "node": "load", "J": 0.5}
  ],
  "instances": [
    {"name": "g1", "parameters": "4", "ROT1": "motor", "ROT2": "load"},
    {"name": "g2", "parameters": "2", "ROT1": "load", "ROT2": "ground"}
  ],
  "record": ["g2"]
})";

struct ChoiceCase {
    const char* what;
    std::vector<std::string> patterns;
    std::vector<std::string> columns;
    std::vector<size_t> instances, elements, picks;
};

TEST(ColumnChoice, PatternsPickInstanceAndNamedElementOutputsInModelOrder) {
    const sim::Model model = sim::ParseModel(kModel, "model.json");
    const std::vector<std::string> outputs{"K", "OMEGA1", "M1"};
    const ChoiceCase cases[] = {
        {"the model's record", {}, {"time", "g2.K", "g2.OMEGA1", "g2.M1"}, {1}, {}, {0, 1, 2}},
        {"instances and an element",
         {"load.omega", "g*.OMEGA1"},
         {"time", "g1.OMEGA1", "g2.OMEGA1", "load.omega"},
         {0, 1},
         {2},
         {1, 4, 6}},
        {"overlapping patterns", {"drive.*", "drive.torque"}, {"time", "drive.torque", "drive.omega"}, {}, {0}, {0, 1}},
        {"time alone", {"time"}, {"time"}, {}, {}, {}},
    };
    for (const ChoiceCase& c : cases) {
        const sim::ColumnChoice choice = sim::ChooseColumns(model, outputs, c.patterns);
        EXPECT_EQ(choice.columns, c.columns) << c.what;
        EXPECT_EQ(choice.instances, c.instances) << c.what;
        EXPECT_EQ(choice.elements, c.elements) << c.what;
        EXPECT_EQ(choice.picks, c.picks) << c.what;
    }
    try {
        sim::ChooseColumns(model, outputs, {"g*.OMEGA*", "gear*"});
        FAIL() << "a pattern that matches nothing";
    } catch (const sim::SimError& e) {
        const std::string text = e.what();
        EXPECT_TRUE(Has(text, "--output gear*: matches no column")) << text;
        EXPECT_TRUE(Has(text, "g1.OMEGA1") && Has(text, "load.omega") && !Has(text, "inertia")) << text;
    }
}

sim::CsvTable Reference() {
    sim::CsvTable t;
    t.file = "ref.csv";
    t.columns = {"time", "x", "only_here"};
    t.rows = {{0, 0, 5}, {1, 1, 5}, {1, 3, 5}, {2, 3, 5}};
    t.lines = {2, 3, 4, 5};
    return t;
}

TEST(ReferenceComparison, InterpolatesTakesJumpsAndComparesOnlyWithinItsSpan) {
    sim::ReferenceComparison ref(Reference(), {"time", "y", "x"});
    ASSERT_EQ(ref.Deviations().size(), 1u);
    EXPECT_EQ(ref.ReferenceColumnOf(2), 1u);
    EXPECT_EQ(ref.ReferenceColumnOf(1), std::string::npos);
    ref.Add({0.5, 7, 0.5}); // on the line
    ref.Add({1.0, 7, 3.0}); // at the jump: the value after it
    ref.Add({1.5, 7, 2.5}); // 0.5 off
    ref.Add({3.0, 7, 99}); // after the reference ends: not compared
    const sim::ReferenceDeviation& d = ref.Deviations()[0];
    EXPECT_EQ(d.column, "x");
    EXPECT_DOUBLE_EQ(d.largest, 0.5);
    EXPECT_DOUBLE_EQ(d.at, 1.5);
    EXPECT_DOUBLE_EQ(d.Relative(), 0.5 / 3.0);
    EXPECT_EQ(ref.Compared(), 3u);
    EXPECT_EQ(ref.Samples(), 4u);

    sim::ReferenceComparison nan(Reference(), {"time", "x"});
    nan.Add({0.5, std::numeric_limits<double>::quiet_NaN()});
    nan.Add({1.5, 2.0});
    EXPECT_TRUE(std::isnan(nan.Deviations()[0].largest)) << "a NaN result must not pass as a small deviation";
}

TEST(ReferenceComparison, TimesThatGoBackOrRepeatThriceNameTheLine) {
    sim::CsvTable back = Reference();
    back.rows[2][0] = 0.5;
    sim::CsvTable thrice = Reference();
    thrice.rows[3][0] = 1.0;
    for (auto& [table, message] : {std::pair{back, "ref.csv: line 4, column 1 (\"time\"): the time 0.5 lies before 1 of line 3"},
                                   std::pair{thrice, "ref.csv: line 5, column 1 (\"time\"): the time 1 appears a third time"}}) {
        try {
            sim::ReferenceComparison ref(table, {"time", "x"});
            ADD_FAILURE() << message;
        } catch (const sim::SimError& e) {
            EXPECT_TRUE(Has(e.what(), message)) << e.what();
        }
    }
}

std::vector<std::string> ReadLines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(ToolTest, OutputPatternsChooseTheColumnsAndElementsHaveOutputs) {
    const Outcome o = Tool({"run", "--stop-time", "1", "--output", "gear.OMEGA*", "--output", "load.omega", "--output",
                            "drag.torque", "--csv", In("a.csv")});
    ASSERT_EQ(o.code, 0) << o.err;
    const std::vector<std::string> lines = ReadLines(dir / "a.csv");
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[0], "time,gear.OMEGA1,gear.OMEGA2,load.omega,drag.torque");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::stringstream row(lines[i]);
        double t = 0, w1 = 0, w2 = 0, load = 0, drag = 0;
        char comma = 0;
        row >> t >> comma >> w1 >> comma >> w2 >> comma >> load >> comma >> drag;
        // The inertia sits on the gear's second node; the damper draws d*w.
        EXPECT_EQ(load, w2) << lines[i];
        EXPECT_NEAR(drag, 0.2 * w2, 1e-9 * (1 + w2)) << lines[i];
    }
}

TEST_F(ToolTest, ARunsOwnCsvAsReferenceDeviatesByNothingAndAChangedModelBeyondTheTolerance) {
    ASSERT_EQ(Tool({"run", "--stop-time", "2", "--csv", In("ref.csv")}).code, 0);
    const Outcome same = Tool({"run", "--stop-time", "2", "--reference", In("ref.csv"), "--reference-tolerance", "0"});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_TRUE(Has(same.out, "5 common columns, compared at 41 of 41 samples")) << same.out;
    std::stringstream summary(same.out.substr(same.out.find("\nreference ")));
    int rows = 0;
    for (std::string line; std::getline(summary, line);) {
        if (line.rfind("gear.", 0) != 0) continue;
        std::stringstream cells(line);
        std::string column;
        double largest = -1, at = -1, relative = -1;
        cells >> column >> largest >> at >> relative;
        EXPECT_EQ(largest, 0.0) << line;
        EXPECT_EQ(relative, 0.0) << line;
        ++rows;
    }
    EXPECT_EQ(rows, 5) << same.out;

    const std::vector<std::string> heavier{"run", "--stop-time", "2", "--set", "load.J=0.6", "--reference",
                                           In("ref.csv")};
    const Outcome shown = Tool(heavier);
    EXPECT_EQ(shown.code, 0) << "without a tolerance a deviation is only shown: " << shown.err;
    std::vector<std::string> strict = heavier;
    strict.insert(strict.end(), {"--reference-tolerance", "1e-3", "--csv", In("b.csv")});
    const Outcome judged = Tool(strict);
    EXPECT_EQ(judged.code, 2);
    EXPECT_TRUE(Has(judged.err, "deviates from the reference " + In("ref.csv") + " beyond the tolerance 0.001")) << judged.err;
    EXPECT_TRUE(Has(judged.err, "gear.OMEGA2: ")) << judged.err;
    EXPECT_TRUE(fs::exists(dir / "b.csv")) << "the run itself is complete and its CSV stays";
    std::vector<std::string> loose = heavier;
    loose.insert(loose.end(), {"--reference-tolerance", "0.5"});
    EXPECT_EQ(Tool(loose).code, 0);
}

struct BadOption {
    const char* what;
    std::vector<std::string> args;
    int code;
    const char* message;
};

TEST_F(ToolTest, BadRunOptionsGiveOneMessageAndNoOutputFiles) {
    std::ofstream(dir / "other.csv") << "time,elsewhere\n0,1\n1,2\n";
    std::ofstream(dir / "late.csv") << "time,gear.K\n100,4\n101,4\n";
    std::ofstream(dir / "bad.csv") << "time,gear.K\n0,4\n1,four\n";
    const BadOption cases[] = {
        {"pattern matching nothing", {"--output", "gear.omega"}, 1, "--output gear.omega: matches no column"},
        {"plot format", {"--plot", In("a.jpg")}, 1, "the plot file must end in .png or .svg"},
        {"missing reference", {"--reference", In("none.csv")}, 1, "none.csv"},
        {"reference not numbers", {"--reference", In("bad.csv")}, 1, "bad.csv: line 3, column 2"},
        {"negative tolerance", {"--reference", In("other.csv"), "--reference-tolerance", "-1"}, 1,
         "--reference-tolerance: the tolerance must be 0 or positive"},
        {"set without value", {"--set", "load.J"}, 1, "--set load.J: expected PLACE=VALUE"},
        {"set unknown place", {"--set", "nobody.J=1"}, 1, "--set nobody.J=1: "},
        {"set refused value", {"--set", "load.J=-1"}, 1, "--set load.J=-1: "},
    };
    for (const BadOption& c : cases) {
        std::vector<std::string> args{"run", "--stop-time", "0.5"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--csv", In("out.csv")});
        const Outcome o = Tool(args);
        EXPECT_EQ(o.code, c.code) << c.what;
        EXPECT_TRUE(Has(o.err, "dolvanex-host: ") && Has(o.err, c.message)) << c.what << ": " << o.err;
        EXPECT_FALSE(fs::exists(dir / "out.csv")) << c.what;
    }
    // Nothing to compare is a failure once a tolerance asks for a verdict.
    for (const char* file : {"other.csv", "late.csv"}) {
        const Outcome o = Tool({"run", "--stop-time", "0.5", "--reference", In(file), "--reference-tolerance", "1"});
        EXPECT_EQ(o.code, 2) << file;
        EXPECT_TRUE(Has(o.err, "no column in common") || Has(o.err, "no output time")) << o.err;
    }
    EXPECT_NE(Tool({"run", "--reference-tolerance", "1"}).code, 0) << "a tolerance needs a reference";
}

TEST_F(ToolTest, SvgPlotDrawsTheReferenceDashedBeneath) {
    if (sim::FindGnuplot().empty()) GTEST_SKIP() << "gnuplot is not installed here";
    ASSERT_EQ(Tool({"run", "--stop-time", "1", "--csv", In("ref.csv")}).code, 0);
    const Outcome o = Tool({"run", "--stop-time", "1", "--set", "load.J=0.6", "--reference", In("ref.csv"),
                            "--output", "gear.*", "--output", "load.omega", "--plot", In("a.SVG")});
    ASSERT_EQ(o.code, 0) << o.err;
    std::ifstream in(dir / "a.SVG");
    std::stringstream svg;
    svg << in.rdbuf();
    const std::string text = svg.str();
    EXPECT_TRUE(Has(text, "<svg")) << text.substr(0, 200);
    EXPECT_TRUE(Has(text, "gear.OMEGA1 (reference)"));
    EXPECT_TRUE(Has(text, "load.omega") && !Has(text, "load.omega (reference)")) << "no reference column, no dashes";
    EXPECT_TRUE(Has(text, "stroke-dasharray"));
    for (const char* panel : {"angular velocity [rad/s]", "torque [Nm]", "ratio K"}) EXPECT_TRUE(Has(text, panel)) << panel;
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_TRUE(entry.path().filename() == "a.SVG" || entry.path().filename() == "ref.csv") << entry.path();
}

} // namespace
} // namespace dvx::tool

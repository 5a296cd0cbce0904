// campbell and order-response: crossings where the order lines meet modes
// that do not depend on speed, modes that do (a quadratic load) against the
// same model with the load's slope as a damper, modes followed through a
// crossing by their shapes, the order response against the frequency
// response and its superposition of phased sources, and bad options.
#include "hostsim/sim/analyses.h"
#include "hostsim/sim/input/csv_table.h"
#include "tests/modes_harness.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace dvx::sim::testing {
namespace {

const std::string kShuffle = std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/model.json";

AnalysisOptions Options(const std::string& model, std::optional<double> at = std::nullopt) {
    AnalysisOptions o;
    o.model = model;
    o.library = host::LibraryBesideProgram();
    o.at = at;
    return o;
}

TEST(Campbell, CrossingsOfSpeedIndependentModesLieAt60FOverO) {
    std::ostringstream log;
    const ModesResult modes = RunModes(Options(kShuffle, 3.5), log);
    CampbellOptions c;
    c.sweep = {"engine", {20.0, 6000.0, 37}};
    c.orders = {0.5, 1.0, 2.0, 4.0};
    const CampbellResult r = RunCampbell(Options(kShuffle, 3.5), c, log);
    ASSERT_EQ(r.diagram.traces.size(), 2u);
    // Every pair of an oscillating mode and an order whose line it meets in
    // the range, once, at 60*f/o.
    size_t expected = 0;
    for (const Mode& m : Oscillating(modes.set))
        for (double o : c.orders) expected += 60.0 * m.naturalHz / o >= 20.0 && 60.0 * m.naturalHz / o <= 6000.0;
    ASSERT_EQ(r.diagram.crossings.size(), expected);
    for (const Crossing& x : r.diagram.crossings) {
        const double f = Oscillating(modes.set)[static_cast<size_t>(x.mode - 1)].naturalHz;
        EXPECT_LT(std::abs(x.rpm / (60.0 * f / x.order) - 1.0), 1e-6) << "mode " << x.mode << ", order " << x.order;
        EXPECT_LT(std::abs(x.hz / f - 1.0), 1e-9);
    }
}

// Node e: an inertia with a quadratic load (its slope 2*T*w/W^2 grows with
// speed); through a gear of K = 1 node f, an inertia joined by a spring to
// the inertia on g. The load damps the drivetrain's turning as a whole: a
// real mode whose rate grows with speed and passes the spring's mode.
std::string Loaded(const std::string& load) {
    return R"({"nodes": ["e", "f", "g"], "elements": [
        {"type": "inertia", "node": "e", "J": 0.5}, )" + load + R"(,
        {"type": "inertia", "node": "f", "J": 0.3}, {"type": "inertia", "node": "g", "J": 0.2},
        {"type": "spring", "name": "s", "a": "f", "b": "g", "c": 200}],
        "instances": [{"name": "k", "parameters": "1", "ROT1": "e", "ROT2": "f"}]})";
}

TEST(Campbell, SpeedDependentModesAreThoseOfTheSlopeAtEachSpeed) {
    const double torque = 1000.0, speed = 100.0;
    const std::string quadratic =
        R"({"type": "speed_torque", "node": "e", "law": "quadratic", "torque": 1000, "speed": 100})";
    Placed p(Loaded(quadratic));
    OperatingPoints points(p.model, *p.network, p.At(0.0), "e", "--node");
    const CampbellDiagram d = ComputeCampbell(points, p.model, {100.0, 3000.0, 30}, {1.0}, std::nullopt, {});
    for (size_t i = 0; i < d.rpm.size(); i += 7) {
        const double w = d.rpm[i] * 2.0 * std::numbers::pi / 60.0;
        const double slope = 2.0 * torque * w / (speed * speed);
        std::ostringstream d17;
        d17.precision(17);
        d17 << slope;
        Placed damped(Loaded(R"({"type": "damper", "a": "e", "d": )" + d17.str() + "}"));
        const std::vector<Mode> want = Oscillating(damped.Modes(0.0));
        std::vector<double> got;
        for (const ModeTrace& t : d.traces)
            if (std::isfinite(t.hz[i])) got.push_back(t.hz[i]);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got.size(), want.size()) << d.rpm[i] << " rpm";
        for (size_t k = 0; k < got.size(); ++k)
            EXPECT_LT(std::abs(got[k] / want[k].naturalHz - 1.0), 1e-6) << d.rpm[i] << " rpm, mode " << k + 1;
    }
    // The real mode (damping ratio 1) keeps its number across the speed
    // where its rate passes the spring's frequency.
    ASSERT_EQ(d.traces.size(), 2u);
    const ModeTrace& first = d.traces[0];
    ASSERT_EQ(first.zeta.front(), 1.0);
    EXPECT_EQ(first.zeta.back(), 1.0);
    EXPECT_GT(first.hz.back(), d.traces[1].hz.back()) << "the traces did not cross";
    EXPECT_LT(first.hz.front(), d.traces[1].hz.front());
}

// Torque sources on a and on b, joined by a spring and damper; inertias on both.
const char* kTwoSources = R"({"nodes": ["a", "b"], "elements": [
    {"type": "torque_source", "name": "ta", "node": "a", "torque": 0},
    {"type": "torque_source", "name": "tb", "node": "b", "torque": 0},
    {"type": "inertia", "name": "ja", "node": "a", "J": 0.4}, {"type": "inertia", "name": "jb", "node": "b", "J": 1.5},
    {"type": "spring", "name": "s", "a": "a", "b": "b", "c": 3000}, {"type": "damper", "a": "a", "b": "b", "d": 3},
    {"type": "damper", "a": "b", "d": 0.5}], "instances": []})";

TEST(OrderResponse, IsThePhasedSumOfTheFrequencyResponses) {
    Placed p(kTwoSources);
    const std::vector<OrderInput> inputs = {{"ta", 3.0, 0.0}, {"tb", 2.0, 120.0}};
    const std::vector<ResponseInput> sources = {FindSource(p.model, *p.network, "ta"),
                                                FindSource(p.model, *p.network, "tb")};
    const std::vector<ResponseOutput> outputs = {FindOutput(p.model, *p.network, p.session, 0.0, "s.torque"),
                                                 FindOutput(p.model, *p.network, p.session, 0.0, "ta.torque")};
    OperatingPoints points(p.model, *p.network, p.At(0.0), "a", "--node");
    const double order = 1.5;
    const OrderResponse r = ComputeOrderResponse(points, inputs, sources, outputs, order, {60.0, 1800.0, 9});
    for (size_t k = 0; k < r.rpm.size(); ++k) {
        const double hz = order * r.rpm[k] / 60.0;
        EXPECT_NEAR(r.hz[k], hz, 1e-12 * hz);
        const std::complex<double> ha = p.Response(0.0, "ta", "s.torque", {hz, 2 * hz, 2}).h[0];
        const std::complex<double> hb = p.Response(0.0, "tb", "s.torque", {hz, 2 * hz, 2}).h[0];
        const std::complex<double> want = 3.0 * ha + std::polar(2.0, 120.0 * std::numbers::pi / 180.0) * hb;
        EXPECT_LT(std::abs(r.value[0][k] - want) / std::abs(want), 1e-9) << r.rpm[k] << " rpm";
        EXPECT_LT(std::abs(r.value[1][k] - 3.0), 1e-12) << "a source's own torque is its harmonic";
    }
}

TEST(OrderResponse, OppositePhasesOnOneNodeCancel) {
    Placed p(kTwoSources);
    const ResponseInput a = FindSource(p.model, *p.network, "ta");
    OperatingPoints points(p.model, *p.network, p.At(0.0), "a", "--node");
    const OrderResponse r =
        ComputeOrderResponse(points, {{"ta", 5.0, 30.0}, {"ta", 5.0, 210.0}}, {a, a},
                             {FindOutput(p.model, *p.network, p.session, 0.0, "jb.omega")}, 2.0, {100.0, 1000.0, 4});
    for (const std::complex<double>& v : r.value[0]) EXPECT_LT(std::abs(v), 1e-12);
}

} // namespace
} // namespace dvx::sim::testing

namespace dvx::tool {
namespace {

const std::string kShuffleModel = std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/model.json";

TEST_F(ToolTest, CampbellWritesItsTablesWithMargins) {
    const Outcome o = Tool({"campbell", kShuffleModel, "--node", "engine", "--from", "800", "--to", "6000", "--orders",
                            "1,2,4", "--at", "3.5", "--operating", "1500:4500", "--points", "27", "--csv",
                            In("campbell.csv"), "--crossings", In("crossings.csv")});
    ASSERT_EQ(o.code, 0) << o.err;
    const sim::CsvTable f = sim::ReadCsvTable(In("campbell.csv"));
    EXPECT_EQ(f.columns, (std::vector<std::string>{"rpm", "mode", "natural_hz", "damping_ratio"}));
    EXPECT_EQ(f.rows.size(), 27u * 2u);
    const sim::CsvTable x = sim::ReadCsvTable(In("crossings.csv"));
    EXPECT_EQ(x.columns, (std::vector<std::string>{"mode", "order", "rpm", "frequency_hz", "damping_ratio", "inside",
                                                   "margin_pct"}));
    // The second mode (44.6 Hz) meets order 1 inside the range, order 2
    // below it; order 4 at 669 rpm, below the sweep.
    ASSERT_EQ(x.rows.size(), 2u);
    EXPECT_EQ(x.rows[0][1], 1.0);
    EXPECT_EQ(x.rows[0][5], 1.0);
    EXPECT_LT(x.rows[0][6], 0.0);
    EXPECT_EQ(x.rows[1][5], 0.0);
    EXPECT_NEAR(x.rows[1][6], 100.0 * (1500.0 - x.rows[1][2]) / 1500.0, 1e-9);
}

// The example's committed files, as its readme's commands write them.
TEST_F(ToolTest, ExampleCampbellAndOrderResponseFilesAreReproduced) {
    const std::string example = std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/";
    const Outcome c = Tool({"campbell", kShuffleModel, "--at", "3.5", "--node", "engine", "--from", "800", "--to",
                            "6000", "--orders", "1,2,4", "--operating", "1500:4500", "--csv", In("campbell.csv"),
                            "--crossings", In("crossings.csv")});
    ASSERT_EQ(c.code, 0) << c.err;
    const Outcome r = Tool({"order-response", kShuffleModel, "--at", "3.5", "--node", "engine", "--from", "800",
                            "--to", "6000", "--points", "105", "--order", "2", "--input", "engine:50", "--output",
                            "halfshaft.torque", "--output", "damper_spring.torque", "--csv", In("order2-response.csv")});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* name : {"campbell.csv", "crossings.csv", "order2-response.csv"}) {
        const sim::CsvTable want = sim::ReadCsvTable(example + name), got = sim::ReadCsvTable(In(name));
        EXPECT_EQ(got.columns, want.columns) << name;
        ASSERT_EQ(got.rows.size(), want.rows.size()) << name;
        for (size_t i = 0; i < got.rows.size(); ++i)
            for (size_t j = 0; j < got.rows[i].size(); ++j)
                EXPECT_NEAR(got.rows[i][j], want.rows[i][j], 1e-9 * (1.0 + std::abs(want.rows[i][j])))
                    << name << ", row " << i + 1 << ", column " << want.columns[j];
    }
}

TEST_F(ToolTest, OrderCommandsRefuseBadInputNamingIt) {
    const std::string csv = In("never.csv");
    const std::vector<std::string> campbell = {"campbell", kShuffleModel, "--node", "engine", "--from", "800", "--to",
                                               "6000", "--csv", csv};
    const std::vector<std::string> order = {"order-response", kShuffleModel, "--node", "engine", "--from", "800",
                                            "--to", "6000", "--order", "2", "--input", "engine", "--csv", csv};
    // The arguments with an option's value replaced, or the option added.
    const auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        const auto at = std::find(args.begin(), args.end(), more[0]);
        if (at != args.end()) *(at + 1) = more[1];
        else args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Row {
        std::vector<std::string> args;
        const char* message;
    };
    const Row rows[] = {
        {with(campbell, {"--node", "crank"}), "--node crank: the model has no such node (its nodes: engine, disc"},
        {with(campbell, {"--to", "500"}), "--to 500: the highest speed must lie above --from 800 rpm"},
        {with(campbell, {"--from", "-1"}), "--from -1: the lowest speed must be a number of at least 0"},
        {with(campbell, {"--points", "1"}), "--points 1: between 2 and 100000 speeds"},
        {with(campbell, {"--orders", "1,x"}), "--orders 1,x: \"x\" is no order"},
        {with(campbell, {"--orders", "0"}), "--orders 0: \"0\" is no order"},
        {with(campbell, {"--operating", "4500:1500"}), "--operating 4500:1500: expected LO:HI"},
        {with(campbell, {"--count", "0"}), "--count 0: the number of modes must be at least 1"},
        {with(campbell, {"--crossings", csv}), "the same file as --csv"},
        {with(order, {"--order", "0"}), "--order 0: the order must be a positive number"},
        {with(order, {"--input", "engine:big"}), "--input engine:big: \"big\" is no amplitude"},
        {with(order, {"--input", "engine:1:x"}), "--input engine:1:x: \"x\" is no phase in degrees"},
        {with(order, {"--input", "flywheel"}), "--input flywheel: the element is an inertia, not a source"},
        {with(order, {"--output", "wheels.speed"}), "--output wheels.speed: no such column"},
        {with(order, {"--node", "nowhere"}), "--node nowhere: the model has no such node"},
    };
    for (const Row& row : rows) {
        const Outcome o = Tool(row.args);
        EXPECT_EQ(o.code, 1) << row.message;
        EXPECT_TRUE(Has(o.err, row.message)) << o.err;
        EXPECT_FALSE(fs::exists(csv)) << row.message;
    }
}

} // namespace
} // namespace dvx::tool

// dolvanex-host modes and response called in-process: their tables, CSV
// files and plots, and the messages for bad input.
#include "hostsim/sim/analyses.h"
#include "hostsim/sim/input/csv_table.h"
#include "hostsim/sim/output/plot.h"
#include "tests/doc_tables.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace dvx::tool {
namespace {

const std::string kShuffle = std::string(DVX_SOURCE_DIR) + "/examples/driveline-shuffle/model.json";

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

TEST_F(ToolTest, ModesPrintsTheTableAndWritesOneRowPerMode) {
    const Outcome o = Tool({"modes", kShuffle, "--at", "3.5", "--csv", In("modes.csv")});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Has(o.out, "clutch: stuck")) << o.out;
    EXPECT_TRUE(Has(o.out, "rigid body")) << o.out;
    EXPECT_TRUE(Has(o.out, "2.5657656")) << o.out; // the first gear's shuffle
    const std::vector<std::string> lines = Lines(In("modes.csv"));
    ASSERT_EQ(lines.size(), 4u); // header, the rigid-body mode, two that oscillate
    EXPECT_EQ(lines[0].rfind("mode,rigid,natural_hz,damped_hz,damping_ratio,eigenvalue_real,eigenvalue_imag,"
                             "engine.amplitude,engine.phase_deg,engine.energy_share,disc.amplitude",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("1,1,0,0,nan,0,0,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("2,0,2.5657", 0), 0u) << lines[2];
    // A row per mode, a cell per column.
    for (const std::string& line : lines)
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 6 + 3 * 5) << line;
}

TEST_F(ToolTest, ResponseWritesAPlainNumericTable) {
    const Outcome o = Tool({"response", kShuffle, "--input", "engine", "--output", "halfshaft.torque", "--at", "3.5",
                            "--from", "1", "--to", "100", "--points", "61", "--csv", In("bode.csv")});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Has(o.out, "from     engine [Nm] to halfshaft.torque, 61 frequencies")) << o.out;
    // The tool's own CSV reader takes it: one header line, numbers only.
    const sim::CsvTable t = sim::ReadCsvTable(In("bode.csv"));
    EXPECT_EQ(t.columns, (std::vector<std::string>{"frequency_hz", "magnitude_db", "phase_deg", "real", "imag"}));
    ASSERT_EQ(t.rows.size(), 61u);
    EXPECT_EQ(t.rows.front()[0], 1.0);
    EXPECT_EQ(t.rows.back()[0], 100.0);
    // The peak lies at the first gear's shuffle.
    size_t peak = 0;
    for (size_t k = 0; k < t.rows.size(); ++k)
        if (t.rows[k][1] > t.rows[peak][1]) peak = k;
    EXPECT_NEAR(t.rows[peak][0], 2.56, 0.1);
    for (const std::vector<double>& row : t.rows)
        EXPECT_NEAR(row[1], 20.0 * std::log10(std::hypot(row[3], row[4])), 1e-6);
}

TEST_F(ToolTest, ModesUseTheRatioAsItStandsAtT) {
    // At 7.5 s the named ratio is 2.1: the same modes as the model started
    // in that gear.
    sim::AnalysisOptions later, set;
    later.model = set.model = kShuffle;
    later.library = set.library = DefaultLibrary();
    later.at = 7.5;
    set.changes = {{"RATIO.value", "2.1"}};
    std::ostringstream log;
    const sim::ModesResult a = sim::RunModes(later, log), b = sim::RunModes(set, log);
    ASSERT_EQ(a.set.modes.size(), b.set.modes.size());
    for (size_t k = 0; k < a.set.modes.size(); ++k)
        EXPECT_NEAR(a.set.modes[k].naturalHz, b.set.modes[k].naturalHz, 1e-9 * (1.0 + b.set.modes[k].naturalHz));
    EXPECT_NE(a.set.modes[1].naturalHz, sim::RunModes([&] {
                                            sim::AnalysisOptions first = set;
                                            first.changes.clear();
                                            return first;
                                        }(),
                                                      log)
                                            .set.modes[1]
                                            .naturalHz);
}

// The guide's table of the example's modes, one row per gear, at the times
// its readme names.
TEST_F(ToolTest, GuideShuffleTableIsWhatModesGives) {
    const double times[] = {3.5, 7.5, 11.5, 15.5};
    for (const test::TableRow& row : test::DocTable("docs/guide.md", "shuffle-table")) {
        ASSERT_EQ(row.size(), 6u);
        const int gear = static_cast<int>(test::NumberCell(row[0]));
        ASSERT_TRUE(gear >= 1 && gear <= 4) << row[0];
        sim::AnalysisOptions o;
        o.model = kShuffle;
        o.library = DefaultLibrary();
        o.at = times[gear - 1];
        std::ostringstream log;
        const sim::ModesResult r = sim::RunModes(o, log);
        ASSERT_EQ(r.set.modes.size(), 3u);
        EXPECT_TRUE(r.set.modes[0].rigid);
        const double shown[] = {r.set.modes[1].naturalHz, r.set.modes[1].dampingRatio, r.set.modes[2].naturalHz,
                                r.set.modes[2].dampingRatio};
        // Each cell is the value rounded to its last printed decimal.
        for (int k = 0; k < 4; ++k) {
            const std::string& cell = row[static_cast<size_t>(k + 2)];
            const int decimals = static_cast<int>(cell.size() - cell.find('.') - 1);
            EXPECT_NEAR(test::NumberCell(cell), shown[k], 0.5001 * std::pow(10.0, -decimals))
                << "gear " << gear << ", column " << k + 2 << ": " << shown[k];
        }
    }
}

TEST_F(ToolTest, AnalysisRefusesBadInputNamingIt) {
    Write(In("held.json"), R"({"nodes": ["a"], "elements": [{"type": "inertia", "node": "a", "J": 1},
        {"type": "speed_source", "name": "s", "node": "a", "speed": 3}], "instances": []})");
    struct Row {
        std::vector<std::string> args;
        const char* message;
    };
    const std::string csv = In("never.csv");
    const Row rows[] = {
        {{"response", kShuffle, "--input", "nobody", "--output", "wheels.omega"},
         "--input nobody: the model has no element of that name (its sources: engine)"},
        {{"response", kShuffle, "--input", "clutch", "--output", "wheels.omega"},
         "--input clutch: the element is a clutch, not a source"},
        {{"response", kShuffle, "--input", "flywheel", "--output", "wheels.omega"},
         "--input flywheel: the element is an inertia, not a source"},
        {{"response", kShuffle, "--input", "halfshaft", "--output", "wheels.omega"},
         "--input halfshaft: the element is a spring, not a source"},
        {{"response", kShuffle, "--input", "engine", "--output", "wheels.speed"},
         "--output wheels.speed: no such column; the columns are gearbox.M1"},
        {{"response", kShuffle, "--input", "engine", "--output", "wheels.omega", "--from", "0"}, "--from 0:"},
        {{"response", kShuffle, "--input", "engine", "--output", "wheels.omega", "--to", "0.05"},
         "--to 0.05: the highest frequency must lie above --from 0.1 Hz"},
        {{"response", kShuffle, "--input", "engine", "--output", "wheels.omega", "--points", "1"}, "--points 1:"},
        {{"modes", kShuffle, "--at", "99", "--csv", csv},
         "--at 99: the time lies outside the model's time span, 0 to 16 s"},
        {{"modes", kShuffle, "--at", "-0.5", "--csv", csv}, "--at -0.5: the time lies outside"},
        {{"modes", In("held.json"), "--csv", csv}, "held.json: the model has no finite mode at t = 0"},
        {{"modes", kShuffle, "--plot", In("shapes.pdf")}, "must end in .png or .svg"},
        {{"modes", In("missing.json")}, "missing.json"},
        {{"modes", kShuffle, "--set", "nobody.J=1"}, "nobody"},
    };
    for (const Row& row : rows) {
        const Outcome o = Tool(row.args);
        EXPECT_EQ(o.code, 1) << row.message;
        EXPECT_TRUE(Has(o.err, row.message)) << o.err;
        EXPECT_FALSE(fs::exists(csv)) << row.message;
    }
}

TEST_F(ToolTest, ModesAndResponseDrawTheirPlots) {
    if (sim::FindGnuplot().empty()) GTEST_SKIP() << "gnuplot is not installed here";
    const Outcome modes = Tool({"modes", kShuffle, "--at", "3.5", "--plot", In("shapes.png")});
    ASSERT_EQ(modes.code, 0) << modes.err;
    EXPECT_GT(fs::file_size(In("shapes.png")), 1000u);
    const Outcome bode = Tool({"response", kShuffle, "--input", "engine", "--output", "wheels.omega", "--plot",
                               In("bode.svg"), "--points", "40"});
    ASSERT_EQ(bode.code, 0) << bode.err;
    std::ifstream svg(In("bode.svg"));
    std::stringstream text;
    text << svg.rdbuf();
    EXPECT_TRUE(Has(text.str(), "<svg")) << "no SVG";
    // Nothing but the plots is left in the folder.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u);
}

} // namespace
} // namespace dvx::tool

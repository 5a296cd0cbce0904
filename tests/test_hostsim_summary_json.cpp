// run --summary-json: the document holds what the printed summary shows,
// records how the run ended, and appears complete or not at all.
#include "hostsim/sim/input/csv_table.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace dvx::tool {
namespace {

using nlohmann::json;

const std::string kExamples = std::string(DVX_SOURCE_DIR) + "/examples/";

json ReadJson(const fs::path& file) {
    std::ifstream in(file);
    return json::parse(in);
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text after `head` on the summary's line that starts with it.
std::string SummaryLine(const std::string& summary, const std::string& head) {
    std::istringstream lines(summary);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(head, 0) == 0) return line.substr(head.size());
    return "";
}

// An event as the summary prints it, rebuilt from the document.
std::string EventText(const json& ev) {
    std::string text = ev["kind"].get<std::string>();
    int round = -1;
    for (const json& m : ev["modes"]) {
        text += round < 0 ? ": " : m["round"].get<int>() != round ? "; " : ", ";
        round = m["round"].get<int>();
        text += m["element"].get<std::string>() + " " + m["mode"].get<std::string>();
    }
    return text;
}

TEST_F(ToolTest, SummaryJsonHoldsWhatTheSummaryPrints) {
    const Outcome o = Tool({"run", kExamples + "vehicle-launch/model.json", "--csv", In("run.csv"), "--summary-json",
                            In("run.json")});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(Has(o.out, "summary written to " + In("run.json"))) << o.out;
    const json d = ReadJson(dir / "run.json");
    EXPECT_EQ(d["format"], 1);
    EXPECT_EQ(d["tool"]["version"], DVX_EXPECTED_VERSION);
    EXPECT_EQ(d["exit_status"], 0);
    EXPECT_EQ(d["message"], "");
    EXPECT_EQ(d["csv"], In("run.csv"));
    EXPECT_TRUE(d["plot"].is_null());
    EXPECT_TRUE(d["reference"].is_null());
    EXPECT_GT(d["wall_time"].get<double>(), 0.0);
    EXPECT_TRUE(Has(SummaryLine(o.out, "model    "), "vehicle-launch")) << o.out;
    EXPECT_EQ(d["model"], SummaryLine(o.out, "model    "));
    EXPECT_EQ(d["library"].get<std::string>() + " (" + d["backend"].get<std::string>() + ")",
              SummaryLine(o.out, "library  "));

    const json& s = d["settings"];
    EXPECT_EQ(s["method"], "ida");
    EXPECT_EQ(s["rtol"], 1e-8);
    EXPECT_EQ(s["end"], 14.0);
    EXPECT_EQ(s["samples"], 701);
    EXPECT_TRUE(s["step"].is_null()) << "ida takes no fixed step";

    const json& st = d["solver"];
    std::ostringstream solver;
    solver << st["steps"] << " steps, " << st["residuals"] << " residuals, " << st["jacobians"] << " Jacobians, "
           << st["factorizations"] << " factorizations, " << st["newton_iterations"] << " Newton iterations, "
           << st["error_test_failures"] << " error-test failures, " << st["newton_failures"] << " Newton failures, "
           << st["time_events"] << " time events, " << st["state_events"] << " state events, " << st["mode_changes"]
           << " mode changes, " << st["component_step_calls"] << " component step calls, ";
    EXPECT_EQ(SummaryLine(o.out, "solver   ").rfind(solver.str(), 0), 0u) << solver.str() << "\n" << o.out;

    // The balance is the document's own terms put together.
    const json& e = d["energy"];
    const double balance = e["supplied"].get<double>() - e["dissipated"].get<double>() -
                           e["lost_at_events"].get<double>() -
                           (e["stored_end"].get<double>() - e["stored_start"].get<double>());
    EXPECT_DOUBLE_EQ(e["balance"].get<double>(), balance);
    double dissipated = 0.0;
    std::string clutch;
    for (const json& a : e["elements"]) {
        if (a["kind"] == "dissipated") dissipated += a["energy"].get<double>();
        if (a["element"] == "clutch") clutch = a["kind"];
    }
    EXPECT_NEAR(dissipated, e["dissipated"].get<double>(), 1e-9 * dissipated);
    EXPECT_EQ(clutch, "dissipated");

    // Every event line of the summary, in order, from the document's events.
    std::vector<std::string> printed, rebuilt;
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(" s  ");
        if ((line.rfind("events   t = ", 0) == 0 || line.rfind("         t = ", 0) == 0) && at != std::string::npos)
            printed.push_back(line.substr(at + 4));
    }
    for (const json& ev : d["events"])
        if (!(ev["kind"] == "start" && ev["modes"].empty())) rebuilt.push_back(EventText(ev));
    ASSERT_EQ(printed.size(), 12u) << o.out;
    ASSERT_GT(rebuilt.size(), printed.size());
    rebuilt.resize(printed.size());
    EXPECT_EQ(rebuilt, printed);

    // The final outputs per instance are the CSV's last row, as printed.
    const sim::CsvTable csv = sim::ReadCsvTable(dir / "run.csv");
    EXPECT_EQ(d["columns"].get<std::vector<std::string>>(), csv.columns);
    ASSERT_EQ(d["instances"].size(), 2u);
    EXPECT_TRUE(d["all_instances"].is_null());
    for (const json& inst : d["instances"])
        for (const auto& [output, value] : inst["final"].items()) {
            const std::string column = inst["name"].get<std::string>() + "." + output;
            for (size_t c = 0; c < csv.columns.size(); ++c) {
                if (csv.columns[c] != column) continue;
                EXPECT_NEAR(value.get<double>(), csv.rows.back()[c], 1e-11 * std::abs(value.get<double>())) << column;
            }
        }
    EXPECT_EQ(d["instances"][1]["name"], "final_drive");
    EXPECT_NEAR(d["instances"][1]["final"]["K"].get<double>(), 3.9, 1e-15);
}

TEST_F(ToolTest, SummaryJsonOfAFixedStepRunAndOfUnrecordedInstances) {
    const Outcome o = Tool({"run", "--method", "bdf2", "--stop-time", "1", "--output", "load.omega", "--summary-json",
                            In("run.json")});
    ASSERT_EQ(o.code, 0) << o.err;
    const json d = ReadJson(dir / "run.json");
    EXPECT_EQ(d["settings"]["method"], "bdf2");
    EXPECT_EQ(d["settings"]["step"], 0.001);
    EXPECT_TRUE(d["settings"]["rtol"].is_null());
    EXPECT_TRUE(d["csv"].is_null());
    EXPECT_EQ(d["columns"], json({"time", "load.omega"}));
    // No instance is recorded: their sum stands in their place, as printed.
    EXPECT_TRUE(d["instances"].empty());
    ASSERT_TRUE(d["all_instances"].is_object());
    EXPECT_EQ(d["all_instances"]["name"], "(all 1)");
    EXPECT_FALSE(d["all_instances"].contains("final"));
    EXPECT_GT(d["all_instances"]["energy_in"].get<double>(), 0.0);
}

// simulation.energy false: the same steps and samples to the bit, with every
// energy absent from the summary and the document rather than zero.
TEST_F(ToolTest, ARunWithoutTheEnergyAccountStepsAlikeAndShowsItAbsent) {
    for (const char* method : {"ida", "bdf2", "euler"}) {
        const std::string model = kExamples + "clutch-lockup/model.json";
        const Outcome with = Tool({"run", model, "--method", method, "--csv", In("with.csv"), "--summary-json",
                                   In("with.json")});
        const Outcome without = Tool({"run", model, "--method", method, "--set", "simulation.energy=false", "--csv",
                                      In("without.csv"), "--summary-json", In("without.json")});
        ASSERT_EQ(with.code, 0) << method << ": " << with.err;
        ASSERT_EQ(without.code, 0) << method << ": " << without.err;
        EXPECT_EQ(ReadText(dir / "with.csv"), ReadText(dir / "without.csv")) << method;
        const json a = ReadJson(dir / "with.json"), b = ReadJson(dir / "without.json");
        for (const char* count : {"steps", "residuals", "jacobians", "component_step_calls"})
            EXPECT_EQ(a["solver"][count], b["solver"][count]) << method << " " << count;
        EXPECT_EQ(a["settings"]["energy"], true);
        EXPECT_EQ(b["settings"]["energy"], false);
        EXPECT_TRUE(a["energy"].is_object()) << method;
        EXPECT_GT(a["energy"]["dissipated"].get<double>(), 0.0) << method;
        EXPECT_TRUE(b["energy"].is_null()) << method;
        EXPECT_TRUE(b["instances"][0]["energy_in"].is_null()) << method;
        EXPECT_TRUE(b["instances"][0]["energy_out"].is_null()) << method;
        EXPECT_EQ(SummaryLine(without.out, "energy   "), "not kept (simulation.energy is false)") << without.out;
        EXPECT_EQ(b["exit_status"], 0) << method;
    }
    const Outcome wrong = Tool({"run", "--set", "simulation.energy=0"});
    EXPECT_EQ(wrong.code, 1);
    EXPECT_TRUE(Has(wrong.err, "must be true or false, not number")) << wrong.err;
}

TEST_F(ToolTest, SummaryJsonRecordsAFailedCheckWithExitStatusTwo) {
    const Outcome o = Tool({"run", kExamples + "motor-gear/model.json", "--set", "load.J=0.6", "--reference",
                            kExamples + "motor-gear/reference.csv", "--reference-tolerance", "1e-6",
                            "--summary-json", In("run.json")});
    ASSERT_EQ(o.code, 2) << o.err;
    const json d = ReadJson(dir / "run.json");
    EXPECT_EQ(d["exit_status"], 2);
    const std::string message = d["message"];
    EXPECT_TRUE(Has(message, "deviates from the reference") && Has(message, "gear.OMEGA2")) << message;
    EXPECT_TRUE(Has(o.err, message)) << "the document repeats what stderr says";
    ASSERT_TRUE(d["reference"].is_object());
    EXPECT_EQ(d["reference"]["compared"], 201);
    bool omega2 = false;
    for (const json& c : d["reference"]["columns"])
        if (c["column"] == "gear.OMEGA2") omega2 = c["relative"].get<double>() > 1e-6;
    EXPECT_TRUE(omega2);
}

struct FailedRun {
    const char* what;
    std::vector<std::string> args;
    const char* message;
};

TEST_F(ToolTest, AFailedRunWritesNoSummaryJsonAndKeepsAnEarlierOne) {
    std::ofstream(dir / "earlier.json", std::ios::binary) << "{\"kept\": true}\n";
    const FailedRun cases[] = {
        {"refused value", {"--set", "load.J=-1"}, "/elements/2/J: must be positive"},
        {"missing library", {"--lib", In("none.so")}, "cannot load the component library"},
        {"same file as the CSV", {"--csv", In("earlier.json")}, "the same file as --csv"},
    };
    for (const FailedRun& c : cases) {
        std::vector<std::string> args{"run", "--stop-time", "0.5", "--summary-json", In("earlier.json")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o = Tool(args);
        EXPECT_EQ(o.code, 1) << c.what;
        EXPECT_TRUE(Has(o.err, c.message)) << c.what << ": " << o.err;
        EXPECT_EQ(ReadText(dir / "earlier.json"), "{\"kept\": true}\n") << c.what;
    }
    // Any program will do for gnuplot: the plot is refused before it is drawn.
    SetEnv("DVX_GNUPLOT", (dir / "earlier.json").string().c_str());
    const Outcome plot = Tool({"run", "--stop-time", "0.5", "--plot", In("run.svg"), "--summary-json", In("run.svg")});
    SetEnv("DVX_GNUPLOT", "");
    EXPECT_EQ(plot.code, 1);
    EXPECT_TRUE(Has(plot.err, "--summary-json " + In("run.svg") + ": the same file as --plot")) << plot.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "no partial file is left";
    const Outcome missing = Tool({"run", "--summary-json", In("no-folder/run.json")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Has(missing.err, "no-folder/run.json: the folder " + In("no-folder") + " does not exist")) << missing.err;
}

// A model under a folder whose name is not UTF-8 (Linux allows any bytes):
// the document replaces what it cannot encode instead of failing the run
// after it completed.
TEST_F(ToolTest, SummaryJsonOfAModelUnderANonUtf8PathIsWritten) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows paths are UTF-16";
#else
    const fs::path odd = dir / std::string("m\xff\xfe");
    fs::create_directories(odd);
    fs::copy_file(kExamples + "motor-gear/model.json", odd / "model.json");
    const Outcome o = Tool({"run", (odd / "model.json").string(), "--stop-time", "0.5", "--summary-json",
                            In("run.json")});
    ASSERT_EQ(o.code, 0) << o.err;
    const json d = ReadJson(dir / "run.json");
    EXPECT_TRUE(Has(d["model"].get<std::string>(), "m\xEF\xBF\xBD\xEF\xBF\xBD/model.json")) << d["model"];
#endif
}

} // namespace
} // namespace dvx::tool

// batch: many variants in one process give what each gives alone, a
// variant that fails fails alone, and the result lines say which.
#include "tests/tool_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace dvx::tool {
namespace {

using nlohmann::json;

const std::string kExamples = std::string(DVX_SOURCE_DIR) + "/examples/";

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::vector<json> ResultLines(const std::string& out) {
    std::vector<json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

// What a run's summary says that does not depend on the wall clock.
json Steady(json summary) {
    summary.erase("wall_time");
    summary.erase("csv");
    summary["solver"].erase("seconds");
    return summary;
}

class BatchTest : public ToolTest {
protected:
    // The batch over `variants` (one JSON text each), its outcome and lines.
    Outcome Batch(const std::string& model, const std::vector<std::string>& variants,
                  std::vector<std::string> extra = {}) {
        std::string text;
        for (const std::string& v : variants) text += v + "\n";
        WriteText(dir / "variants.jsonl", text);
        std::vector<std::string> args = {"batch", model, "--variants", In("variants.jsonl")};
        args.insert(args.end(), extra.begin(), extra.end());
        Outcome o = Tool(args);
        lines = ResultLines(o.out);
        return o;
    }
    std::vector<json> lines;
};

struct Case {
    const char* example;
    std::vector<std::string> args; // of `run`, alone
    const char* variant;           // the same as a variant
};

// Each variant comes last, after the other variants of its model have run
// in the same process: its CSV and summary are those of its run alone.
TEST_F(BatchTest, AVariantAfterOthersGivesBitForBitWhatItGivesAlone) {
    const std::vector<Case> cases = {
        {"motor-gear", {"--param", "gear=2.5"}, R"({"param":{"gear":"2.5"}})"},
        {"motor-gear", {"--method", "bdf2", "--set", "load.J=0.8"}, R"({"settings":{"method":"bdf2"},"set":{"load.J":0.8}})"},
        {"clutch-lockup", {"--stop-time", "1.5"}, R"({"settings":{"stop":1.5}})"},
        {"vehicle-launch", {"--param", "final_drive=4.1", "--set", "simulation.energy=false"},
         R"({"param":{"final_drive":"4.1"},"settings":{"energy":false}})"},
        {"gear-chain", {"--rtol", "1e-7"}, R"({"settings":{"rtol":1e-7}})"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string model = kExamples + c.example + "/model.json";
        std::vector<std::string> alone = {"run", model, "--csv", In("alone.csv"), "--summary-json", In("alone.json")};
        alone.insert(alone.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(Tool(alone).code, 0) << c.example;

        // Before it: every other case of the same model, and a failing one.
        std::vector<std::string> variants;
        for (size_t j = 0; j < cases.size(); ++j)
            if (j != i && std::string(cases[j].example) == c.example) variants.push_back(cases[j].variant);
        variants.push_back(R"({"settings":{"max_steps":3}})");
        json last = json::parse(c.variant);
        last["csv"] = In("batch.csv");
        variants.push_back(last.dump());
        Batch(model, variants);
        ASSERT_EQ(lines.size(), variants.size()) << c.example;
        const json& result = lines.back();
        ASSERT_EQ(result["exit_status"], 0) << result["message"];
        EXPECT_EQ(ReadText(In("batch.csv")), ReadText(In("alone.csv"))) << c.example << " " << c.variant;
        std::ifstream summary(In("alone.json"));
        EXPECT_EQ(Steady(result["summary"]), Steady(json::parse(summary))) << c.example << " " << c.variant;
    }
}

// Faults of a variant's own: each fails with its message and line, and the
// variant after it still runs as it would alone.
TEST_F(BatchTest, AFailingVariantFailsAloneAndTheBatchGoesOn) {
    struct Fault {
        const char* variant;
        const char* message;
    };
    const std::vector<Fault> faults = {
        {"not json", "variant on line 1: not JSON"},
        {R"([1, 2])", "a variant is a JSON object"},
        {R"({"stop": 2})", "\"stop\" is not a key of a variant"},
        {R"({"settings":{"stop":"2"}})", "\"settings\".\"stop\" must be a number, not string"},
        {R"({"settings":{"method":"rk4"}})", "must be \"ida\", \"euler\" or \"bdf2\""},
        {R"({"settings":{"stop":-1}})", "the variant's settings: "},
        {R"({"settings":{"max_steps":3}})", "3"},
        {R"({"set":{"nowhere.J":1}})", "--set nowhere.J=1"},
        {R"({"param":{"gear":"2.5x"}})", "gear"},
#if !defined(_WIN32)
        {R"({"csv":"/dev/stdout"})", "the batch's results go to the standard output"},
#endif
        {R"({"timeout":0.01,"settings":{"stop":1e4,"max_step":1e-4}})", "past its time limit of 0.01 s"},
    };
    const std::string model = kExamples + "motor-gear/model.json";
    ASSERT_EQ(Tool({"run", model, "--csv", In("alone.csv")}).code, 0);
    for (const Fault& f : faults) {
        const Outcome o = Batch(model, {f.variant, R"({"id":"after","csv":")" + In("after.csv") + "\"}"});
        EXPECT_EQ(o.code, 1) << f.variant;
        ASSERT_EQ(lines.size(), 2u) << f.variant << o.err;
        EXPECT_EQ(lines[0]["id"], 1);
        EXPECT_EQ(lines[0]["exit_status"], 1) << f.variant;
        EXPECT_TRUE(Has(lines[0]["message"].get<std::string>(), f.message)) << f.variant << ": " << lines[0]["message"];
        EXPECT_TRUE(lines[0]["summary"].is_null()) << f.variant;
        EXPECT_EQ(lines[1]["id"], "after");
        EXPECT_EQ(lines[1]["exit_status"], 0) << f.variant << ": " << lines[1]["message"];
        EXPECT_EQ(ReadText(In("after.csv")), ReadText(In("alone.csv"))) << "after " << f.variant;
    }
}

TEST_F(BatchTest, TheExitStatusIsTheWorstVariantsAndBlankLinesAreSkipped) {
    const std::string model = kExamples + "motor-gear/model.json";
    const std::string reference = kExamples + "motor-gear/reference.csv";
    const std::string judged = R"("reference_tolerance":1e-3,"reference":")" + reference + "\"}";
    const std::string passes = "{" + judged;
    const std::string differs = R"({"set":{"load.J":0.6},)" + judged;
    EXPECT_EQ(Batch(model, {passes, "", "  ", passes}).code, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["id"], 4); // a variant's number is its line's
    EXPECT_EQ(Batch(model, {passes, differs}).code, 2);
    EXPECT_EQ(lines[1]["exit_status"], 2);
    EXPECT_EQ(Batch(model, {differs, "{\"settings\":{\"stop\":-1}}", passes}).code, 1);
}

TEST_F(BatchTest, WhatEveryVariantNeedsIsCheckedBeforeAnyRuns) {
    EXPECT_EQ(Batch(In("missing.json"), {"{}"}).code, 1);
    EXPECT_TRUE(Has(Tool({"batch", In("missing.json")}).err, "missing.json"));
    EXPECT_TRUE(lines.empty());
    const std::string model = kExamples + "motor-gear/model.json";
    const Outcome noLibrary = Batch(model, {"{}"}, {"--lib", In("none.so")});
    EXPECT_NE(noLibrary.code, 0);
    EXPECT_TRUE(Has(noLibrary.err, "none.so")) << noLibrary.err;
    EXPECT_TRUE(lines.empty());
    const Outcome timeout = Batch(model, {"{}"}, {"--timeout", "0"});
    EXPECT_NE(timeout.code, 0);
    EXPECT_TRUE(Has(timeout.err, "--timeout: must be positive")) << timeout.err;
    const Outcome noFile = Tool({"batch", model, "--variants", In("none.jsonl")});
    EXPECT_TRUE(Has(noFile.err, "none.jsonl")) << noFile.err;
}

} // namespace
} // namespace dvx::tool

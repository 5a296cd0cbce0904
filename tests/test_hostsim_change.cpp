// Numbers of a model changed by their place (--set PLACE=VALUE): the place
// found among the simulation settings, elements, nodes, quantities and
// instances, and every refusal named with the change that caused it.
#include "hostsim/sim/model/model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace dvx::sim {
namespace {

namespace fs = std::filesystem;

// Names shared on purpose: the inertia "load" sits on the node "load", the
// inertia "motor" on the node "motor" (given by its name alone), the damper
// "shaft" on the node "shaft".
const char* const kModel = R"({
  "simulation": {"stop": 0.5},
  "nodes": ["motor", {"name": "load", "omega0": 1}, "shaft"],
  "quantities": [{"name": "RATIO", "value": 3}],
  "elements": [
    {"type": "torque_source", "name": "drive", "node": "motor", "torque": {"type": "step", "after": 2, "time": 0.1}},
    {"type": "inertia", "name": "load", "node": "load", "J": 0.5},
    {"type": "inertia", "name": "motor", "node": "motor", "J": 0.01},
    {"type": "damper", "name": "shaft", "a": "shaft", "d": 0.1}],
  "instances": [{"name": "gear", "parameters": "RATIO", "ROT1": "motor", "ROT2": "load"}]})";

class ModelChanges : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("dvx-set-" + std::string(::testing::UnitTest::GetInstance()
                                                                           ->current_test_info()
                                                                           ->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        file = dir / "model.json";
        std::ofstream(file) << kModel;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string ErrorOf(const std::vector<ModelChange>& changes) const {
        try {
            LoadModel(file, changes);
        } catch (const SimError& e) {
            return e.what();
        }
        return "(no error)";
    }

    fs::path dir, file;
};

// Node speeds motor 1, load 2, shaft 5 for looking at element units.
const double kSpeeds[] = {1.0, 2.0, 5.0};

// The element's first output.
double Output(const Model& m, size_t element, double t) {
    std::vector<std::string> names;
    m.elements[element].unit->OutputNames(names);
    std::vector<double> out(names.size());
    m.elements[element].unit->Outputs({t, kSpeeds, kSpeeds}, out.data());
    return out.at(0);
}

// J of an inertia from what it stores at its node's speed.
double Inertia(const Model& m, size_t element, double speed) {
    return 2.0 * m.elements[element].unit->Stored({0.0, kSpeeds, kSpeeds}) / (speed * speed);
}

struct GoodCase {
    const char* what;
    std::vector<ModelChange> changes;
    std::function<void(const Model&)> check;
};

TEST_F(ModelChanges, EachPlaceReachesItsValue) {
    const GoodCase cases[] = {
        {"a setting", {{"simulation.stop", "2.5"}}, [](const Model& m) { EXPECT_EQ(m.settings.stop, 2.5); }},
        {"a setting as plain text", {{"simulation.method", "bdf2"}},
         [](const Model& m) { EXPECT_EQ(m.settings.method, Method::Bdf2); }},
        {"changes are checked together", {{"simulation.start", "2"}, {"simulation.stop", "5"}},
         [](const Model& m) {
             EXPECT_EQ(m.settings.start, 2.0);
             EXPECT_EQ(m.settings.stop, 5.0);
         }},
        {"an element key: the inertia holds J, the node does not", {{"load.J", "0.75"}},
         [](const Model& m) {
             EXPECT_EQ(Inertia(m, 1, 2.0), 0.75);
             EXPECT_EQ(m.nodes[1].omega0, 1.0);
         }},
        {"an object node holds omega0", {{"load.omega0", "-4"}},
         [](const Model& m) {
             EXPECT_EQ(m.nodes[1].omega0, -4.0);
             EXPECT_EQ(Inertia(m, 1, 2.0), 0.5);
         }},
        {"a node given by name takes omega0, its inertia does not", {{"motor.omega0", "6"}},
         [](const Model& m) {
             EXPECT_EQ(m.nodes[0].name, "motor");
             EXPECT_EQ(m.nodes[0].omega0, 6.0);
         }},
        {"the damper takes its optional end, the node does not", {{"shaft.b", "load"}},
         [](const Model& m) { EXPECT_NEAR(Output(m, 3, 0.0), 0.1 * (5.0 - 2.0), 1e-15); }},
        {"a key inside a waveform", {{"drive.torque.after", "7"}},
         [](const Model& m) {
             EXPECT_EQ(Output(m, 0, 0.05), 0.0);
             EXPECT_EQ(Output(m, 0, 0.2), 7.0);
         }},
        {"a whole waveform as JSON", {{"drive.torque", R"({"type": "ramp", "to": 4, "duration": 2})"}},
         [](const Model& m) { EXPECT_EQ(Output(m, 0, 1.0), 2.0); }},
        {"a quantity's value", {{"RATIO.value", "4.5"}},
         [](const Model& m) { EXPECT_EQ(Evaluate(m.quantities[0].wave, 0.0), 4.5); }},
        {"an instance's parameter text", {{"gear.parameters", "2.5k"}},
         [](const Model& m) { EXPECT_EQ(m.instances[0].parameters, "2.5k"); }},
    };
    for (const GoodCase& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            const Model m = LoadModel(file, c.changes);
            EXPECT_EQ(m.file, file);
            c.check(m);
        } catch (const SimError& e) {
            ADD_FAILURE() << e.what();
        }
    }
}

struct BadCase {
    const char* what;
    std::vector<ModelChange> changes;
    std::string message; // the whole message
};

TEST_F(ModelChanges, EachRefusalNamesTheChange) {
    const std::string model = file.string() + ": ";
    const std::string forms = " (a place is simulation.KEY, NAME.KEY or NAME.KEY.SUBKEY...)";
    const BadCase cases[] = {
        {"unknown name", {{"gaer.parameters", "2"}},
         R"(--set gaer.parameters=2: no element, node, quantity or instance is named "gaer" (elements: drive, load, )"
         R"(motor, shaft; nodes: motor, load, shaft; quantities: RATIO; instances: gear; or simulation.KEY))"},
        {"no dot", {{"stop", "2"}}, "--set stop=2: the place has no dot" + forms},
        {"empty key", {{"load.", "2"}}, "--set load.=2: the place has an empty key" + forms},
        {"empty value", {{"load.J", ""}}, "--set load.J=: the value after '=' is empty"},
        {"ambiguous: both hold the key", {{"load.name", "big"}},
         R"(--set load.name=big: the place is ambiguous: "load" names the inertia element at /elements/1 and the )"
         R"(node at /nodes/1, and more than one of them holds "name")"},
        {"ambiguous: neither takes the key", {{"motor.Jj", "1"}},
         R"(--set motor.Jj=1: the place is ambiguous: "motor" names the inertia element at /elements/2 and the )"
         R"(node at /nodes/0, and none of them takes "Jj")"},
        {"refused value", {{"load.J", "-1"}}, "--set load.J=-1: " + model + "/elements/1/J: must be positive (got -1)"},
        {"unknown key", {{"drive.torqe", "3"}},
         "--set drive.torqe=3: " + model +
             R"(/elements/0: unknown field "torqe" (known here: type, name, node, torque))"},
        // Found by the model fuzzer: nlohmann refused to write the model's
        // JSON back, and the run ended with its exception's text.
        {"text that is not UTF-8", {{"gear.parameters", "\xff"}},
         "--set gear.parameters=\\xff: the value is not valid UTF-8 text"},
        {"a place that is not UTF-8", {{"load.J\x8f", "1"}}, "--set load.J\\x8f=1: the place is not valid UTF-8 text"},
        {"into a number", {{"RATIO.value.after", "2"}},
         R"(--set RATIO.value.after=2: /quantities/0/value is number, not an object that could hold "after")"},
        {"the second change is the culprit", {{"simulation.stop", "2"}, {"load.J", "0"}},
         "--set load.J=0: " + model + "/elements/1/J: must be positive (got 0)"},
        {"not a change that fails only until a later one", {{"simulation.start", "1"}, {"simulation.stop", "3"},
                                                           {"simulation.step", "-1"}},
         "--set simulation.step=-1: " + model + "/simulation: the step must be a positive number"},
    };
    for (const BadCase& c : cases) EXPECT_EQ(ErrorOf(c.changes), c.message) << c.what;
}

TEST_F(ModelChanges, FaultOfTheFileItselfComesWithoutAChange) {
    std::ofstream(file) << R"({"nodes": ["a"], "elements": [{"type": "inertia", "node": "a", "J": -2}],
                               "instances": []})";
    const std::string own = file.string() + ": /elements/0/J: must be positive (got -2)";
    EXPECT_EQ(ErrorOf({{"simulation.stop", "2"}}), own);
    EXPECT_EQ(ErrorOf({{"a.omega0", "-1"}, {"simulation.stop", "-3"}}), own);
    EXPECT_EQ(ErrorOf({{"nobody.J", "1"}}), own);
    std::ofstream(file) << R"({"nodes": ["a",]})";
    EXPECT_EQ(ErrorOf({{"simulation.stop", "2"}}).rfind(file.string() + ": not valid JSON", 0), 0u);
    fs::remove(file);
    EXPECT_EQ(ErrorOf({{"simulation.stop", "2"}}), file.string() + ": cannot open the model file");
}

} // namespace
} // namespace dvx::sim

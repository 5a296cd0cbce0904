// The simulator's model files: what a good file becomes, and a clear message
// naming the file and the JSON path for every kind of bad one.
#include "hostsim/sim/model/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace dvx::sim {
namespace {

// A valid model with one slot that each case replaces: the elements.
std::string ModelWith(const std::string& elements, const std::string& instances =
                          R"([{"name": "gear", "parameters": "4", "ROT1": "motor", "ROT2": "load"}])") {
    return R"({"nodes": ["motor", "load"], "elements": )" + elements + R"(, "instances": )" + instances + "}";
}

const std::string kElements =
    R"([{"type": "inertia", "node": "motor", "J": 0.01}, {"type": "inertia", "node": "load", "J": 0.5}])";

std::string ErrorOf(const std::string& text) {
    try {
        ParseModel(text, "bad.json");
    } catch (const SimError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(ModelFile, GoodFileBecomesNodesElementsAndInstances) {
    const Model m = ParseModel(R"({
      "simulation": {"start": 1, "stop": 3, "step": 0.01, "output_interval": 0.1, "method": "euler"},
      "nodes": ["motor", {"name": "load", "omega0": 2.5}],
      "quantities": [{"name": "RATIO", "value": 3}],
      "elements": [
        {"type": "torque_source", "node": "motor", "torque": {"type": "step", "after": 2, "time": 1.5}},
        {"type": "damper", "a": "load", "d": 0.2},
        {"type": "spring", "a": "motor", "b": "load", "c": 100, "torque0": 1}],
      "instances": [{"name": "gear", "parameters": 2.5, "ROT1": "motor", "ROT2": "ground"}],
      "record": ["gear"]})",
                               "good.json");
    EXPECT_EQ(m.settings.start, 1.0);
    EXPECT_EQ(m.settings.stop, 3.0);
    EXPECT_EQ(m.settings.step, 0.01);
    EXPECT_EQ(m.settings.outputInterval, 0.1);
    EXPECT_EQ(m.settings.method, Method::Euler);
    ASSERT_EQ(m.nodes.size(), 2u);
    EXPECT_EQ(m.nodes[1].omega0, 2.5);
    ASSERT_EQ(m.elements.size(), 3u);
    EXPECT_EQ(m.elements[1].type, "damper");
    EXPECT_EQ(m.elements[1].where, "/elements/1");
    EXPECT_EQ(m.elements[1].unit->Label(), "damper /elements/1");
    // A damper without "b" ends on the ground: at w_load = 2 it draws 0.4.
    const double y[] = {0.0, 2.0};
    double out = 0.0;
    m.elements[1].unit->Outputs({0.0, y, y}, &out);
    EXPECT_EQ(out, 0.4);
    double source[2] = {}; // torque, omega
    m.elements[0].unit->Outputs({1.4, y, y}, source);
    EXPECT_EQ(source[0], 0.0);
    m.elements[0].unit->Outputs({1.5, y, y}, source);
    EXPECT_EQ(source[0], 2.0);
    EXPECT_EQ(source[1], 0.0); // the motor's speed
    ASSERT_EQ(m.instances.size(), 1u);
    EXPECT_EQ(m.instances[0].parameters, "2.5"); // a number becomes its shortest text
    EXPECT_EQ(m.instances[0].rot1, 0);
    EXPECT_EQ(m.instances[0].rot2, kGround);
    EXPECT_EQ(m.record, std::vector<std::string>{"gear"});
}

struct BadCase {
    const char* what;
    std::string text;
    const char* message; // must appear in the error
};

TEST(ModelFile, BadFilesNameTheFileThePlaceAndTheProblem) {
    const BadCase cases[] = {
        {"syntax error", R"({"nodes": ["motor",, "load"]})", "bad.json: not valid JSON: parse error at line 1, column 20"},
        {"syntax error line", "{\n\"nodes\": [\n1 2]}", "line 3"},
        {"unknown node", ModelWith(kElements, R"([{"name": "g", "parameters": "4", "ROT1": "motor", "ROT2": "lod"}])"),
         R"(bad.json: /instances/0/ROT2: unknown node "lod" (nodes: motor, load, ground))"},
        {"duplicate node", R"({"nodes": ["a", "a"], "instances": []})",
         R"(bad.json: /nodes/1: the node name "a" is used twice)"},
        {"duplicate instance",
         ModelWith(kElements, R"([{"name": "g", "parameters": "4", "ROT1": "motor", "ROT2": "load"},
                                  {"name": "g", "parameters": "2", "ROT1": "load", "ROT2": "ground"}])"),
         R"(bad.json: /instances/1: the instance name "g" is used twice)"},
        {"duplicate key", ModelWith(R"([{"type": "inertia", "node": "motor", "J": 1, "J": 2}])"),
         R"(bad.json: /elements/0/J: the key "J" appears twice in the same object)"},
        {"missing field", ModelWith(R"([{"type": "inertia", "node": "motor"}])"),
         R"(bad.json: /elements/0: the field "J" is missing)"},
        {"missing nodes", R"({"instances": []})", R"(bad.json: (top level): the field "nodes" is missing)"},
        {"negative inertia", ModelWith(R"([{"type": "inertia", "node": "motor", "J": -1}])"),
         "bad.json: /elements/0/J: must be positive (got -1)"},
        {"zero inertia", ModelWith(R"([{"type": "inertia", "node": "motor", "J": 0}])"),
         "bad.json: /elements/0/J: must be positive (got 0)"},
        {"negative damping", ModelWith(R"([{"type": "damper", "a": "motor", "d": -0.5}])"),
         "bad.json: /elements/0/d: must not be negative (got -0.5)"},
        {"negative step", R"({"simulation": {"step": -0.001}, "nodes": ["a"], "instances": []})",
         "bad.json: /simulation: the step must be a positive number"},
        {"stop before start", R"({"simulation": {"start": 2, "stop": 1}, "nodes": ["a"], "instances": []})",
         "bad.json: /simulation: the stop time must lie after the start time"},
        {"unknown method", R"({"simulation": {"method": "rk4"}, "nodes": ["a"], "instances": []})",
         R"(bad.json: /simulation/method: the method must be "ida", "euler" or "bdf2")"},
        {"misspelt field", ModelWith(R"([{"type": "inertia", "node": "motor", "Jj": 1}])"),
         R"(bad.json: /elements/0: unknown field "Jj" (known here: type, name, node, J))"},
        {"text for a number", ModelWith(R"([{"type": "inertia", "node": "motor", "J": "big"}])"),
         "bad.json: /elements/0/J: must be a number, not string"},
        {"unknown element", ModelWith(R"([{"type": "flywheel", "node": "motor"}])"),
         R"(bad.json: /elements/0/type: unknown element type "flywheel")"},
        {"unknown waveform", ModelWith(R"([{"type": "torque_source", "node": "motor", "torque": {"type": "saw"}}])"),
         R"(bad.json: /elements/0/torque/type: unknown waveform type "saw")"},
        {"table decreasing",
         ModelWith(R"([{"type": "torque_source", "node": "motor",
                        "torque": {"type": "table", "points": [[0, 1], [1, 2], [0.5, 3]]}}])"),
         "bad.json: /elements/0/torque/points/2/0: the times of a table must not decrease (0.5 after 1)"},
        {"table time three times",
         ModelWith(R"([{"type": "torque_source", "node": "motor",
                        "torque": {"type": "table", "points": [[0, 1], [1, 2], [1, 3], [1, 4]]}}])"),
         "bad.json: /elements/0/torque/points/3/0: the time 1 appears a third time (a time may appear twice in a "
         "table, as a jump)"},
        {"speed table repeating a speed",
         ModelWith(R"([{"type": "speed_torque", "node": "motor", "table": [[0, 1], [1, 2], [1, 3]]}])"),
         "bad.json: /elements/0/table/2/0: the first numbers of a table's points must strictly increase"},
        {"ground declared", R"({"nodes": ["ground"], "instances": []})",
         R"(bad.json: /nodes/0: "ground" is the fixed ground)"},
        {"inertia on ground", ModelWith(R"([{"type": "inertia", "node": "ground", "J": 1}])"),
         "bad.json: /elements/0/node: this element cannot sit on the fixed ground"},
        {"same node twice", ModelWith(kElements, R"([{"name": "g", "parameters": "4", "ROT1": "load", "ROT2": "load"}])"),
         "bad.json: /instances/0: ROT1 and ROT2 must be different nodes"},
        {"dot in a name", ModelWith(kElements, R"([{"name": "g.1", "parameters": "4", "ROT1": "motor", "ROT2": "load"}])"),
         R"(bad.json: /instances/0/name: the name "g.1" may hold only letters, digits, '_' and '-')"},
        {"unused node", R"({"nodes": ["a", "b"], "elements": [{"type": "inertia", "node": "a", "J": 1}], "instances": []})",
         R"(bad.json: /nodes/1: the node "b" is connected to nothing)"},
        {"record of a stranger", R"({"nodes": ["a"], "elements": [{"type": "inertia", "node": "a", "J": 1}],
                                      "instances": [], "record": ["x"]})",
         R"(bad.json: /record/0: "x" is not an instance of this model)"},
    };
    for (const BadCase& c : cases) {
        const std::string error = ErrorOf(c.text);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": got " << error;
    }
}

TEST(ModelFile, MissingFileIsNamed) {
    try {
        LoadModel("no/such/model.json");
        FAIL() << "no error";
    } catch (const SimError& e) {
        EXPECT_EQ(std::string(e.what()), "no/such/model.json: cannot open the model file");
    }
}

// Jumps: 10 to 20 at 1; 5 to -1 at the first time; 2 to 7 at the last.
const Table jump{{0.0, 1.0, 1.0, 2.0}, {0.0, 10.0, 20.0, 40.0}};
const Table startJump{{0.0, 0.0, 1.0}, {5.0, -1.0, 1.0}};
const Table endJump{{0.0, 1.0, 1.0}, {0.0, 2.0, 7.0}};

struct WaveCase {
    const char* what;
    Waveform wave;
    double t;
    double value;
};

TEST(Waveforms, ValuesAtChosenTimes) {
    const Table table{{0.0, 1.0, 3.0}, {4.0, 4.0, 1.0}};
    const WaveCase cases[] = {
        {"constant", Constant{2.5}, 7.0, 2.5},
        {"step before", Step{1.0, 3.0, 0.5}, 0.49, 1.0},
        {"step at its time", Step{1.0, 3.0, 0.5}, 0.5, 3.0},
        {"ramp before", Ramp{0.0, 10.0, 1.0, 2.0}, 0.5, 0.0},
        {"ramp halfway", Ramp{0.0, 10.0, 1.0, 2.0}, 2.0, 5.0},
        {"ramp after", Ramp{0.0, 10.0, 1.0, 2.0}, 9.0, 10.0},
        {"ramp of no duration: a step, the value after it at its time", Ramp{0.0, 10.0, 1.0, 0.0}, 1.0, 10.0},
        {"ramp of no duration before", Ramp{0.0, 10.0, 1.0, 0.0}, 0.999999, 0.0},
        {"ramp of no duration after", Ramp{0.0, 10.0, 1.0, 0.0}, 1.000001, 10.0},
        {"sine quarter period", Sine{1.0, 2.0, 0.25, 0.0}, 1.0, 3.0},
        {"table held before", table, -1.0, 4.0},
        {"table at a point", table, 1.0, 4.0},
        {"table between points", table, 2.5, 1.75},
        {"table held after", table, 10.0, 1.0},
        {"table of one point", Table{{2.0}, {7.0}}, 0.0, 7.0},
        {"before a jump", jump, 0.75, 7.5},
        {"at a jump", jump, 1.0, 20.0},
        {"after a jump", jump, 1.5, 30.0},
        {"at a jump at the start", startJump, 0.0, -1.0},
        {"after a jump at the start", startJump, 0.5, 0.0},
        {"before a jump at the end", endJump, 0.5, 1.0},
        {"at a jump at the end", endJump, 1.0, 7.0},
    };
    for (const WaveCase& c : cases) EXPECT_NEAR(Evaluate(c.wave, c.t), c.value, 1e-15) << c.what;
}

TEST(Waveforms, TableSlopesAndLowestValueAroundAJump) {
    const Table plain{{0.0, 1.0, 3.0}, {2.0, 4.0, 1.0}};
    double slope = -1.0;
    // At a point the segment to the right counts; outside the table nothing.
    EXPECT_EQ(TableAt(plain, 0.0, &slope), 2.0);
    EXPECT_EQ(slope, 2.0);
    EXPECT_EQ(TableAt(plain, 1.0, &slope), 4.0);
    EXPECT_EQ(slope, -1.5);
    EXPECT_EQ(TableAt(plain, -2.0, &slope), 2.0);
    EXPECT_EQ(slope, 0.0);
    EXPECT_EQ(TableAt(jump, 1.0, &slope), 20.0);
    EXPECT_EQ(slope, 20.0);
    EXPECT_NEAR(TableAt(jump, 1.0 - 1e-9, &slope), 10.0, 1e-7);
    EXPECT_EQ(slope, 10.0);
    EXPECT_EQ(TableAt(startJump, 0.0, &slope), -1.0);
    EXPECT_EQ(slope, 2.0);
    // The earlier value of a jump is never taken but approached: it counts.
    EXPECT_EQ(LowestValue(Table{{0.0, 1.0, 1.0}, {5.0, -3.0, 7.0}}), -3.0);
}

} // namespace
} // namespace dvx::sim

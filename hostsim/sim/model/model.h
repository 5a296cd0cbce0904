// A drivetrain model as the simulator reads it from a model file: rotational
// nodes, the fixed ground, elements, named host quantities, the instances of
// the loaded component and the run settings. Everything refers to nodes by
// index; kGround stands for the fixed ground.
#pragma once

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/input/waveform.h"
#include "hostsim/sim/elements/element.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace dvx::sim {

inline constexpr int kGround = -1;
inline constexpr const char* kGroundName = "ground";

struct Node {
    std::string name;
    double omega0 = 0.0; // initial angular velocity [rad/s]
};

// An element of the model file: its type, its optional name, its place in
// the file, and the unit that carries its equations (elements/).
struct ElementRecord {
    std::string type;
    std::string name; // empty when the file gives none
    std::string where; // JSON path in the model file, for messages
    std::shared_ptr<ElementUnit> unit;
};

struct Quantity {
    std::string name;
    Waveform wave;
};

struct Instance {
    std::string name;
    std::string parameters; // the parameter text passed with call type 1
    int rot1 = kGround;
    int rot2 = kGround;
    std::string where;
};

// ida: SUNDIALS IDA(S), variable order and step with error control; euler
// and bdf2: fixed step, a Newton iteration on the residual per step.
enum class Method { Ida, Euler, Bdf2 };

struct Settings {
    double start = 0.0;
    double stop = 1.0;
    double step = 1e-3;           // euler and bdf2
    double outputInterval = 1e-2;
    Method method = Method::Ida;
    double rtol = 1e-6;           // ida: relative tolerance
    double atol = 1e-8;           // ida: absolute tolerance, every unknown
    double maxStep = 0.0;         // ida: largest step [s]; 0 for no limit
    long maxSteps = 5'000'000;    // every method: the most steps a run may take
    bool energy = true;           // every method: keep the energy account
};

struct Model {
    std::filesystem::path file;
    std::vector<Node> nodes;
    std::vector<Quantity> quantities;
    std::vector<ElementRecord> elements;
    std::vector<Instance> instances;
    std::vector<std::string> record; // instances shown in CSV, plot and summary; empty: all
    Settings settings;
};

// Reads and checks a model file. Throws SimError naming the file and the
// JSON path of the first problem.
Model LoadModel(const std::filesystem::path& file);
// The same from text already in memory; `file` only names it in messages.
Model ParseModel(const std::string& text, const std::filesystem::path& file);

// A change to the model file made on the command line: `place` is
// "simulation.KEY", "NAME.KEY" or "NAME.KEY.SUBKEY..." where NAME names an element (its optional
// "name"), a node, a quantity or an instance; `value` is the text after '='.
struct ModelChange {
    std::string place;
    std::string value;
};
// Reads and checks a model file with the changes applied (in order) to its
// JSON before it is checked, so a changed value meets the same checks as one
// in the file.
Model LoadModel(const std::filesystem::path& file, const std::vector<ModelChange>& changes);
// The same from the file's text, read once for many variants.
Model ParseModel(const std::string& text, const std::filesystem::path& file, const std::vector<ModelChange>& changes);

// The text of a model file; throws SimError when it cannot be opened or read.
std::string ReadModelText(const std::filesystem::path& file);

// Checks settings, whether from the file or from the command line; throws
// SimError naming `origin` and the setting.
void CheckSettings(const Settings& settings, const std::string& origin);

const char* MethodName(Method method);
bool ParseMethod(const std::string& text, Method* method);

} // namespace dvx::sim

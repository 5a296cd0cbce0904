#include "hostsim/tool/batch_command.h"

#include "hostsim/tool/run_command.h"
#include "hostsim/tool/tool.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/model/model.h"
#include "hostsim/sim/run.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

namespace dvx::tool {

namespace {

using Json = nlohmann::ordered_json;

// What every variant of the batch shares.
struct Batch {
    std::filesystem::path model, library;
    std::shared_ptr<const std::string> text;
    sim::SharedLibrary loaded;
    std::optional<double> timeout;
};

struct Variant {
    Json id;
    sim::RunOptions options;
    RunFiles files;
};

// A variant's fault of its own: the variant fails, the batch goes on.
[[noreturn]] void Refuse(const std::string& where, const std::string& what) { throw sim::SimError(where + what); }

// A --set or --param value from JSON: a string as it stands, anything else
// as its JSON text (so 0.8 sets 0.8 and true sets true).
std::string ValueText(const Json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

double Number(const Json& value, const std::string& where) {
    if (!value.is_number()) Refuse(where, "must be a number, not " + std::string(value.type_name()));
    const double x = value.get<double>();
    if (!std::isfinite(x)) Refuse(where, "must be a finite number");
    return x;
}

std::optional<double>* NumberSetting(sim::RunOptions& o, const std::string& key) {
    if (key == "start") return &o.start;
    if (key == "stop") return &o.stop;
    if (key == "step") return &o.step;
    if (key == "output_interval") return &o.outputInterval;
    if (key == "rtol") return &o.rtol;
    if (key == "atol") return &o.atol;
    if (key == "max_step") return &o.maxStep;
    return nullptr;
}

// "settings": the run's settings by the model file's names, as run's
// --stop-time and the like override them.
void ReadSettings(const Json& settings, sim::RunOptions& o, const std::string& where) {
    if (!settings.is_object()) Refuse(where, "\"settings\" must be an object");
    for (const auto& [key, value] : settings.items()) {
        const std::string at = where + "\"settings\".\"" + key + "\" ";
        if (std::optional<double>* setting = NumberSetting(o, key)) {
            *setting = Number(value, at);
        } else if (key == "max_steps") {
            const double steps = Number(value, at);
            if (!(steps >= 1.0 && steps <= 1e12) || steps != std::floor(steps))
                Refuse(at, "must be a whole number from 1 to 1e12");
            o.maxSteps = static_cast<long>(steps);
        } else if (key == "method") {
            sim::Method m{};
            if (!value.is_string() || !sim::ParseMethod(value.get<std::string>(), &m))
                Refuse(at, "must be \"ida\", \"euler\" or \"bdf2\"");
            o.method = m;
        } else if (key == "energy") {
            if (!value.is_boolean()) Refuse(at, "must be true or false");
            o.changes.push_back({"simulation.energy", value.dump()});
        } else {
            Refuse(at, "is no setting (start, stop, step, output_interval, method, rtol, atol, max_step, max_steps, "
                       "energy)");
        }
    }
}

std::optional<std::string> Path(const Json& line, const char* key, const std::string& where) {
    if (!line.contains(key)) return std::nullopt;
    const Json& value = line[key];
    if (!value.is_string() || value.get<std::string>().empty())
        Refuse(where, "\"" + std::string(key) + "\" must be a file name");
    return value.get<std::string>();
}

void ReadChanges(const Json& line, sim::RunOptions& o, const std::string& where) {
    if (line.contains("set")) {
        if (!line["set"].is_object()) Refuse(where, "\"set\" must be an object of PLACE: VALUE");
        for (const auto& [place, value] : line["set"].items()) o.changes.push_back({place, ValueText(value)});
    }
    if (line.contains("param")) {
        if (!line["param"].is_object()) Refuse(where, "\"param\" must be an object of INSTANCE: TEXT");
        for (const auto& [name, text] : line["param"].items()) {
            if (!text.is_string() && !text.is_number())
                Refuse(where, "\"param\".\"" + name + "\" must be a text or a number");
            o.params.emplace_back(name, ValueText(text));
        }
    }
    if (line.contains("output")) {
        const Json& output = line["output"];
        const Json list = output.is_string() ? Json::array({output}) : output;
        if (!list.is_array()) Refuse(where, "\"output\" must be a pattern or a list of them");
        for (const Json& pattern : list) {
            if (!pattern.is_string() || pattern.get<std::string>().empty())
                Refuse(where, "\"output\" holds a pattern that is no text or an empty one");
            o.outputs.push_back(pattern.get<std::string>());
        }
    }
}

void ReadFiles(const Json& line, Variant& v, const std::string& where) {
    v.files.csv = Path(line, "csv", where);
    v.files.plot = Path(line, "plot", where);
    v.files.summaryJson = Path(line, "summary_json", where);
    if (auto reference = Path(line, "reference", where)) v.options.reference = *reference;
    if (line.contains("reference_tolerance")) {
        if (!v.options.reference) Refuse(where, "\"reference_tolerance\" needs a \"reference\"");
        const double tolerance = Number(line["reference_tolerance"], where + "\"reference_tolerance\" ");
        if (tolerance < 0.0) Refuse(where, "\"reference_tolerance\" must be 0 or positive");
        v.files.referenceTolerance = tolerance;
    }
    v.files.standardOutputTaken = true;
}

constexpr const char* kKeys[] = {"id",   "set",       "param",        "output",    "settings",           "csv",
                                 "plot", "summary_json", "reference", "reference_tolerance", "timeout"};

void ReadVariant(const Json& line, const Batch& batch, Variant& v, const std::string& where) {
    if (!line.is_object()) Refuse(where, "a variant is a JSON object");
    for (const auto& [key, value] : line.items()) {
        bool known = false;
        for (const char* k : kKeys) known = known || key == k;
        if (!known) Refuse(where, "\"" + key + "\" is not a key of a variant");
    }
    if (line.contains("id")) v.id = line["id"];
    ReadChanges(line, v.options, where);
    if (line.contains("settings")) ReadSettings(line["settings"], v.options, where);
    ReadFiles(line, v, where);
    v.options.timeLimit = batch.timeout;
    if (line.contains("timeout")) {
        const double limit = Number(line["timeout"], where + "\"timeout\" ");
        if (!(limit > 0.0)) Refuse(where, "\"timeout\" must be positive (seconds)");
        v.options.timeLimit = limit;
    }
}

// One variant, run: its result line.
Json RunVariant(const std::string& text, size_t number, const Batch& batch) {
    const auto began = std::chrono::steady_clock::now();
    const std::string where = "variant on line " + std::to_string(number) + ": ";
    Variant v;
    v.id = number;
    std::ostringstream printed, log;
    Json summary = nullptr;
    int status = 1;
    std::string message;
    try {
        Json line;
        try {
            line = Json::parse(text);
        } catch (const Json::parse_error& e) {
            Refuse(where, std::string("not JSON: ") + e.what());
        }
        ReadVariant(line, batch, v, where);
        v.options.model = batch.model;
        v.options.library = batch.library;
        v.options.modelText = batch.text;
        v.options.loaded = batch.loaded;
        v.options.keepSamples = false;
        v.options.settingsOrigin = "the variant's settings: ";
        status = ExecuteRun(v.options, v.files, began, printed, log, &summary);
        if (status != 0 && summary.contains("message")) message = summary["message"].get<std::string>();
    } catch (const sim::SimError& e) {
        status = 1;
        message = e.what();
        summary = nullptr;
    } catch (const std::exception& e) {
        // Out of memory and the like: this variant fails, the next may not.
        status = 1;
        message = where + "the variant could not run: " + e.what();
        summary = nullptr;
    }
    return {{"id", v.id}, {"exit_status", status}, {"message", message}, {"log", log.str()}, {"summary", summary}};
}

int Worse(int a, int b) {
    if (a == 1 || b == 1) return 1;
    return std::max(a, b);
}

} // namespace

BatchCommand::BatchCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "batch", "Run many variants of one model in one process: a line of JSON in, a line of JSON out, each");
    command_->add_option("MODEL", model_, "Model file")->required();
    command_->add_option("--lib", library_, "Component library (default: the one beside this program)");
    command_->add_option("--variants", variants_, "Read the variants from this file (default: the standard input)");
    timeoutGiven_ = command_->add_option("--timeout", timeout_,
                                         "Wall seconds a variant may take, unless its own \"timeout\" says otherwise");
}

std::optional<int> BatchCommand::Run(std::istream& in, std::ostream& out) const {
    if (!command_->parsed()) return std::nullopt;
    if (timeoutGiven_->count() > 0 && !(timeout_ > 0.0)) throw sim::SimError("--timeout: must be positive (seconds)");
    Batch batch;
    batch.model = model_;
    batch.library = library_.empty() ? DefaultLibrary() : std::filesystem::path(library_);
    if (timeoutGiven_->count() > 0) batch.timeout = timeout_;
    batch.text = std::make_shared<const std::string>(sim::ReadModelText(batch.model));
    batch.loaded = sim::OpenLibrary(batch.library);
    std::ifstream file;
    if (!variants_.empty()) {
        file.open(variants_, std::ios::binary);
        if (!file) throw sim::SimError("--variants " + variants_ + ": the file cannot be opened");
    }
    std::istream& source = variants_.empty() ? in : file;
    int worst = 0;
    size_t number = 0;
    for (std::string text; std::getline(source, text);) {
        ++number;
        if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
        const Json result = RunVariant(text, number, batch);
        worst = Worse(worst, result["exit_status"].get<int>());
        out << result.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n" << std::flush;
    }
    if (source.bad()) throw sim::SimError("the variants could not be read after line " + std::to_string(number));
    return worst;
}

} // namespace dvx::tool

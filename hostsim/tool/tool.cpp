#include "hostsim/tool/tool.h"

#include "hostsim/tool/outputs.h"

#include "hostsim/kit/library.h"
#include "hostsim/check/check.h"
#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/columns.h"
#include "hostsim/sim/output/output_file.h"
#include "hostsim/sim/output/plot.h"
#include "hostsim/sim/output/summary_json.h"
#include "hostsim/sim/run.h"
#include "hostsim/tool/analysis.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <new>
#include <sstream>
#include <utility>

#if defined(_WIN32)
#include <io.h>
#define DVX_ISATTY(fd) _isatty(fd)
#define DVX_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define DVX_ISATTY(fd) isatty(fd)
#define DVX_FILENO(f) fileno(f)
#endif

#ifndef DVX_VERSION
#error "DVX_VERSION must come from the build (the CMake project version)"
#endif

namespace dvx::tool {

namespace {

constexpr const char* kDefaultExample = "examples/motor-gear/model.json";
// A run that completed but deviates from its reference (1: the run failed).
constexpr int kExitDeviation = 2;

struct RunArgs {
    std::string model;
    std::string library;
    double start = 0, stop = 0, step = 0, interval = 0, rtol = 0, atol = 0, maxStep = 0, maxSteps = 0;
    std::string method;
    std::vector<std::string> params, sets, outputs;
    std::string csv, plot, reference, summaryJson;
    double referenceTolerance = 0;
    bool logCalls = false;
    bool ownBlocks = false;
};


// Exit status 2 when a column deviates from the reference by more than
// `tolerance` relative to its range, or when nothing could be compared.
int JudgeReference(const sim::ReferenceComparison& reference, double tolerance, std::ostream& err) {
    const std::string file = reference.Table().file.string();
    if (reference.Deviations().empty()) {
        err << "dolvanex-host: " << file << ": the reference has no column in common with the run\n";
        return kExitDeviation;
    }
    if (reference.Compared() == 0) {
        err << "dolvanex-host: " << file << ": no output time of the run lies within the reference's time span\n";
        return kExitDeviation;
    }
    std::string beyond;
    for (const sim::ReferenceDeviation& d : reference.Deviations())
        if (!(d.Relative() <= tolerance))
            beyond += "\n  " + d.column + ": " + sim::FormatNumber(d.Relative(), 6) + " of its range (" +
                      sim::FormatNumber(d.largest, 6) + " at t = " + sim::FormatNumber(d.at, 9) + " s)";
    if (beyond.empty()) return 0;
    err << "dolvanex-host: the run deviates from the reference " << file << " beyond the tolerance "
        << sim::FormatNumber(tolerance) << ":" << beyond << "\n";
    return kExitDeviation;
}

int Run(const RunArgs& a, const std::map<std::string, CLI::Option*>& given, std::ostream& out, std::ostream& err) {
    const auto began = std::chrono::steady_clock::now();
    sim::RunOptions o;
    o.model = a.model.empty() ? DefaultModel() : std::filesystem::path(a.model);
    if (o.model.empty())
        throw sim::SimError(std::string("no MODEL given, and the default example ") + kDefaultExample +
                            " was found neither beside the program nor in the source tree");
    o.library = a.library.empty() ? DefaultLibrary() : std::filesystem::path(a.library);
    auto has = [&](const char* name) { return given.at(name)->count() > 0; };
    if (has("--start-time")) o.start = a.start;
    if (has("--stop-time")) o.stop = a.stop;
    if (has("--step")) o.step = a.step;
    if (has("--output-interval")) o.outputInterval = a.interval;
    if (has("--rtol")) o.rtol = a.rtol;
    if (has("--atol")) o.atol = a.atol;
    if (has("--max-step")) o.maxStep = a.maxStep;
    if (has("--method")) {
        sim::Method m{};
        sim::ParseMethod(a.method, &m);
        o.method = m;
    }
    for (const std::string& p : a.params)
        o.params.push_back(SplitAssignment(p, "--param", "INSTANCE=TEXT, for example --param gear=2.5k"));
    for (const std::string& p : a.sets) {
        auto [place, value] = SplitAssignment(
            p, "--set", "PLACE=VALUE, for example --set load.J=0.8 or --set simulation.stop=5");
        o.changes.push_back({std::move(place), std::move(value)});
    }
    for (const std::string& pattern : a.outputs) {
        if (pattern.empty()) throw sim::SimError("--output: expected a column name or pattern, for example gear*.OMEGA*");
        o.outputs.push_back(pattern);
    }
    for (const auto& [option, path] : {std::pair{"--csv", &a.csv}, {"--plot", &a.plot}, {"--reference", &a.reference},
                                       {"--summary-json", &a.summaryJson}})
        if (has(option) && path->empty()) throw sim::SimError(std::string(option) + ": the file name is empty");
    if (has("--reference")) o.reference = a.reference;
    const bool tolerance = has("--reference-tolerance");
    if (tolerance && !(a.referenceTolerance >= 0.0))
        throw sim::SimError("--reference-tolerance: the tolerance must be 0 or positive");
    if (has("--max-steps")) {
        if (!(a.maxSteps >= 1.0 && a.maxSteps <= 1e12) || a.maxSteps != std::floor(a.maxSteps))
            throw sim::SimError("--max-steps: expected a whole number from 1 to 1e12");
        o.maxSteps = static_cast<long>(a.maxSteps);
    }
    o.logCalls = a.logCalls;
    if (a.ownBlocks) o.blocks = sim::BlockSharing::PerInstance;
    o.progress = DVX_ISATTY(DVX_FILENO(stderr)) != 0;
    o.keepSamples = has("--plot");

    // Every output is claimed before the run and put in place after it.
    if (has("--plot")) sim::CheckPlotFile(a.plot);
    Outputs outputs;
    sim::OutputFile* csv = has("--csv") ? &outputs.Claim(a.csv, "--csv") : nullptr;
    sim::OutputFile* plot = has("--plot") ? &outputs.Claim(a.plot, "--plot") : nullptr;
    sim::OutputFile* summaryJson = has("--summary-json") ? &outputs.Claim(a.summaryJson, "--summary-json") : nullptr;
    o.csvOutput = csv;
    std::ostream& report = outputs.OnStandardOutput() ? err : out;

    const sim::RunResult result = sim::RunSimulation(o, err);
    if (plot)
        sim::PlotRun(result.columns, result.samples, *plot,
                     o.model.filename().string() == "model.json" ? o.model.parent_path().filename().string()
                                                                 : o.model.filename().string(),
                     result.reference.get(), sim::TimeDigits(result.settings));
    // The exit status is decided once, before any file is put in place; the
    // summary document records it with what the failed checks said.
    std::ostringstream findings;
    int status = 0;
    if (!result.findings.empty()) {
        findings << "dolvanex-host: the run completed, but its results fail a check:";
        for (const std::string& f : result.findings) findings << "\n  " << f;
        findings << "\n";
        status = kExitDeviation;
    }
    if (tolerance && JudgeReference(*result.reference, a.referenceTolerance, findings) != 0) status = kExitDeviation;
    if (summaryJson) {
        sim::RunEnding ending;
        ending.version = DVX_VERSION;
        if (csv) ending.csv = a.csv;
        if (plot) ending.plot = a.plot;
        ending.exitStatus = status;
        ending.message = findings.str();
        ending.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        sim::WriteSummaryJson(*summaryJson, result, ending);
    }
    outputs.CommitAll();
    sim::PrintSummary(result, report);
    report << "\n";
    if (csv) report << "CSV written to " << a.csv << "\n";
    if (plot) report << "plot written to " << a.plot << "\n";
    if (summaryJson) report << "summary written to " << a.summaryJson << "\n";
    err << findings.str();
    return status;
}

} // namespace

std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option, const char* form) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw sim::SimError(std::string(option) + " " + text + ": expected " + form);
    return {text.substr(0, eq), text.substr(eq + 1)};
}

std::filesystem::path DefaultLibrary() { return host::LibraryBesideProgram(); }

std::filesystem::path DefaultModel() {
    const std::filesystem::path here = host::ProgramDirectory();
    for (const std::filesystem::path& base :
         {here, here.parent_path(), here.parent_path().parent_path(), std::filesystem::path(DVX_SOURCE_DIR)}) {
        const std::filesystem::path candidate = (base / kDefaultExample).lexically_normal();
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
    return {};
}

int ToolMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"dolvanex-host: loads the Dolvanex component library as a host simulator does and runs it in "
                 "one-dimensional rotational drivetrain simulations",
                 "dolvanex-host"};
    // Options are --long and -s only: on Windows CLI11 would otherwise take
    // a path that starts with '/' (as Wine passes them) for an option.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", DVX_VERSION);
    app.require_subcommand(1);

    std::string infoLib;
    CLI::App* info = app.add_subcommand("info", "Show the library's version, options, descriptor and catalogue");
    info->add_option("--lib", infoLib, "Component library (default: the one beside this program)");

    RunArgs r;
    std::map<std::string, CLI::Option*> given;
    CLI::App* run = app.add_subcommand("run", "Simulate a model file and print a summary; write CSV and plot");
    run->add_option("MODEL", r.model, "Model file (default: the bundled example motor-gear)");
    run->add_option("--lib", r.library, "Component library (default: the one beside this program)");
    given["--start-time"] = run->add_option("--start-time", r.start, "Start time [s] (overrides the model)");
    given["--stop-time"] = run->add_option("--stop-time", r.stop, "Stop time [s] (overrides the model)");
    given["--step"] = run->add_option("--step", r.step,
                                      "Fixed step of euler and bdf2 [s]; shortened to divide the output interval");
    given["--output-interval"] = run->add_option("--output-interval", r.interval, "Output interval [s]");
    given["--method"] = run->add_option("--method", r.method,
                                        "Integration method: ida (variable step and order, error-controlled; the "
                                        "default), euler or bdf2 (fixed step)")
                            ->check(CLI::IsMember({"ida", "euler", "bdf2"}));
    given["--rtol"] = run->add_option("--rtol", r.rtol, "ida: relative tolerance (default 1e-6)");
    given["--atol"] = run->add_option("--atol", r.atol, "ida: absolute tolerance of every unknown (default 1e-8)");
    given["--max-step"] = run->add_option("--max-step", r.maxStep, "ida: largest step [s] (default: no limit)");
    run->add_option("--param", r.params, "INSTANCE=TEXT: the parameter text passed to an instance (repeatable)")
        ->expected(1)
        ->allow_extra_args(false) // a value in [brackets] is a pattern or a text, not a list
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    run->add_option("--set", r.sets,
                    "PLACE=VALUE: change a number of the model file: simulation.KEY, ELEMENT.KEY (by the element's "
                    "name), NODE.omega0, QUANTITY.value; deeper keys with more dots (clutch.torque.after) (repeatable)")
        ->expected(1)
        ->allow_extra_args(false) // a value in [brackets] is a pattern or a text, not a list
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    run->add_option("--output", r.outputs,
                    "PATTERN: the columns written and drawn, shell-style (gear*.OMEGA*, load.omega, clutch.*); "
                    "default: every output of the model's recorded instances (repeatable)")
        ->expected(1)
        ->allow_extra_args(false) // a value in [brackets] is a pattern or a text, not a list
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    given["--max-steps"] = run->add_option("--max-steps", r.maxSteps,
                                           "The most steps the run may take (default 5000000), with every method");
    given["--csv"] = run->add_option("--csv", r.csv, "Write time and the chosen columns to this CSV file");
    given["--plot"] = run->add_option(
        "--plot", r.plot, "Draw the chosen columns, one panel per quantity, into this .png or .svg file (needs gnuplot)");
    CLI::Option* reference =
        run->add_option("--reference", r.reference,
                        "A CSV result in this tool's format: the summary gives each common column's largest "
                        "deviation, absolute and relative to the column's range; the plot draws it dashed");
    given["--reference"] = reference;
    given["--reference-tolerance"] =
        run->add_option("--reference-tolerance", r.referenceTolerance,
                        "With --reference: exit with status 2 when a column deviates by more than TOL relative to "
                        "its range")
            ->needs(reference);
    given["--summary-json"] = run->add_option("--summary-json", r.summaryJson,
                    "Write what the summary shows, with the files written, the wall time and the exit status, into "
                    "this JSON file (docs/summary-json.md)");
    run->add_flag("--log-calls", r.logCalls, "Log every UDMMain call and every callback on stderr");
    run->add_flag("--own-blocks", r.ownBlocks,
                  "Give every instance a VectorBlock and a MatrixBlock of its own (by default instances share them, "
                  "as a host with global vectors does)");

    const AnalysisCommands analysis(app);

    std::string checkLib;
    CLI::App* check = app.add_subcommand("check", "Conformance run of the call protocol against a library");
    check->add_option("--lib", checkLib, "Library to check (default: the one beside this program)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end well; any other fault of the command
        // line is an error like every other (CLI11's own codes are not ours).
        const int code = app.exit(e, out, err);
        return code == 0 ? 0 : 1;
    }
    try {
        if (info->parsed()) return Info(infoLib.empty() ? DefaultLibrary() : std::filesystem::path(infoLib), out, err);
        if (run->parsed()) return Run(r, given, out, err);
        if (const std::optional<int> code = analysis.Run(out, err)) return *code;
        if (check->parsed())
            return sim::RunConformance(checkLib.empty() ? DefaultLibrary() : std::filesystem::path(checkLib), out) == 0
                       ? 0
                       : 1;
    } catch (const sim::SimError& e) {
        err << "dolvanex-host: " << e.what() << "\n";
        return 1;
    } catch (const std::bad_alloc&) {
        err << "dolvanex-host: out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        err << "dolvanex-host: " << e.what() << "\n";
        return 1;
    }
    return 1;
}

} // namespace dvx::tool

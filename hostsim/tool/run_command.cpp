#include "hostsim/tool/run_command.h"

#include "hostsim/tool/options.h"

#include "hostsim/tool/outputs.h"
#include "hostsim/tool/tool.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/columns.h"
#include "hostsim/sim/output/plot.h"
#include "hostsim/sim/output/summary_json.h"
#include "hostsim/sim/run.h"

#include <chrono>
#include <cmath>
#include <cstdio>
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

// A run that completed but deviates from its reference (1: the run failed).
constexpr int kExitDeviation = 2;

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

// What a completed run's results fail: its own checks, and with a
// tolerance its reference. Returns the exit status; the message goes to
// `findings`.
int Verdict(const sim::RunResult& result, const std::optional<double>& tolerance, std::ostream& findings) {
    int status = 0;
    if (!result.findings.empty()) {
        findings << "dolvanex-host: the run completed, but its results fail a check:";
        for (const std::string& f : result.findings) findings << "\n  " << f;
        findings << "\n";
        status = kExitDeviation;
    }
    if (tolerance && JudgeReference(*result.reference, *tolerance, findings) != 0) status = kExitDeviation;
    return status;
}

} // namespace

RunCommand::RunCommand(CLI::App& app) {
    command_ = app.add_subcommand("run", "Simulate a model file and print a summary; write CSV and plot");
    AddSettings();
    AddFiles();
}

void RunCommand::AddSettings() {
    command_->add_option("MODEL", args_.model, "Model file (default: the bundled example motor-gear)");
    command_->add_option("--lib", args_.library, "Component library (default: the one beside this program)");
    given_["--start-time"] = command_->add_option("--start-time", args_.start, "Start time [s] (overrides the model)");
    given_["--stop-time"] = command_->add_option("--stop-time", args_.stop, "Stop time [s] (overrides the model)");
    given_["--step"] = command_->add_option("--step", args_.step,
                                      "Fixed step of euler and bdf2 [s]; shortened to divide the output interval");
    given_["--output-interval"] = command_->add_option("--output-interval", args_.interval, "Output interval [s]");
    given_["--method"] = command_->add_option("--method", args_.method,
                                        "Integration method: ida (variable step and order, error-controlled; the "
                                        "default), euler or bdf2 (fixed step)")
                            ->check(CLI::IsMember({"ida", "euler", "bdf2"}));
    given_["--rtol"] = command_->add_option("--rtol", args_.rtol, "ida: relative tolerance (default 1e-6)");
    given_["--atol"] = command_->add_option("--atol", args_.atol, "ida: absolute tolerance of every unknown (default 1e-8)");
    given_["--max-step"] = command_->add_option("--max-step", args_.maxStep, "ida: largest step [s] (default: no limit)");
    AddRepeatable(command_, "--param", args_.params,
                  "INSTANCE=TEXT: the parameter text passed to an instance (repeatable)");
    AddRepeatable(command_, "--set", args_.sets,
                  "PLACE=VALUE: change a number of the model file: simulation.KEY, ELEMENT.KEY (by the element's "
                  "name), NODE.omega0, QUANTITY.value; deeper keys with more dots (clutch.torque.after) (repeatable)");
    AddRepeatable(command_, "--output", args_.outputs,
                  "PATTERN: the columns written and drawn, shell-style (gear*.OMEGA*, load.omega, clutch.*); "
                  "default: every output of the model's recorded instances (repeatable)");
    given_["--max-steps"] = command_->add_option("--max-steps", args_.maxSteps,
                                           "The most steps the run may take (default 5000000), with every method");
}

void RunCommand::AddFiles() {
    given_["--csv"] = command_->add_option("--csv", args_.csv, "Write time and the chosen columns to this CSV file");
    given_["--plot"] = command_->add_option(
        "--plot", args_.plot, "Draw the chosen columns, one panel per quantity, into this .png or .svg file (needs gnuplot)");
    CLI::Option* reference =
        command_->add_option("--reference", args_.reference,
                        "A CSV result in this tool's format: the summary gives each common column's largest "
                        "deviation, absolute and relative to the column's range; the plot draws it dashed");
    given_["--reference"] = reference;
    given_["--reference-tolerance"] =
        command_->add_option("--reference-tolerance", args_.referenceTolerance,
                        "With --reference: exit with status 2 when a column deviates by more than TOL relative to "
                        "its range")
            ->needs(reference);
    given_["--summary-json"] = command_->add_option("--summary-json", args_.summaryJson,
                    "Write what the summary shows, with the files written, the wall time and the exit status, into "
                    "this JSON file (docs/summary-json.md)");
    command_->add_flag("--log-calls", args_.logCalls, "Log every UDMMain call and every callback on stderr");
    command_->add_flag("--own-blocks", args_.ownBlocks,
                  "Give every instance a VectorBlock and a MatrixBlock of its own (by default instances share them, "
                  "as a host with global vectors does)");

}

std::optional<int> RunCommand::Run(std::ostream& out, std::ostream& err) const {
    if (!command_->parsed()) return std::nullopt;
    const auto began = std::chrono::steady_clock::now();
    sim::RunOptions o = Options();
    return ExecuteRun(o, Files(), began, out, err);
}

sim::RunOptions RunCommand::Options() const {
    sim::RunOptions o;
    o.model = args_.model.empty() ? DefaultModel() : std::filesystem::path(args_.model);
    if (o.model.empty())
        throw sim::SimError(std::string("no MODEL given, and the default example ") + kDefaultExample +
                            " was found neither beside the program nor in the source tree");
    o.library = args_.library.empty() ? DefaultLibrary() : std::filesystem::path(args_.library);
    if (Has("--start-time")) o.start = args_.start;
    if (Has("--stop-time")) o.stop = args_.stop;
    if (Has("--step")) o.step = args_.step;
    if (Has("--output-interval")) o.outputInterval = args_.interval;
    if (Has("--rtol")) o.rtol = args_.rtol;
    if (Has("--atol")) o.atol = args_.atol;
    if (Has("--max-step")) o.maxStep = args_.maxStep;
    if (Has("--method")) {
        sim::Method m{};
        sim::ParseMethod(args_.method, &m);
        o.method = m;
    }
    for (const std::string& p : args_.params)
        o.params.push_back(SplitAssignment(p, "--param", "INSTANCE=TEXT, for example --param gear=2.5k"));
    for (const std::string& p : args_.sets) {
        auto [place, value] = SplitAssignment(
            p, "--set", "PLACE=VALUE, for example --set load.J=0.8 or --set simulation.stop=5");
        o.changes.push_back({std::move(place), std::move(value)});
    }
    for (const std::string& pattern : args_.outputs) {
        if (pattern.empty()) throw sim::SimError("--output: expected a column name or pattern, for example gear*.OMEGA*");
        o.outputs.push_back(pattern);
    }
    for (const auto& [option, path] : {std::pair{"--csv", &args_.csv}, {"--plot", &args_.plot}, {"--reference", &args_.reference},
                                       {"--summary-json", &args_.summaryJson}})
        if (Has(option) && path->empty()) throw sim::SimError(std::string(option) + ": the file name is empty");
    if (Has("--reference")) o.reference = args_.reference;
    if (Has("--reference-tolerance") && !(args_.referenceTolerance >= 0.0))
        throw sim::SimError("--reference-tolerance: the tolerance must be 0 or positive");
    if (Has("--max-steps")) {
        if (!(args_.maxSteps >= 1.0 && args_.maxSteps <= 1e12) || args_.maxSteps != std::floor(args_.maxSteps))
            throw sim::SimError("--max-steps: expected a whole number from 1 to 1e12");
        o.maxSteps = static_cast<long>(args_.maxSteps);
    }
    o.logCalls = args_.logCalls;
    if (args_.ownBlocks) o.blocks = sim::BlockSharing::PerInstance;
    o.progress = DVX_ISATTY(DVX_FILENO(stderr)) != 0;
    o.keepSamples = Has("--plot");
    return o;
}

RunFiles RunCommand::Files() const {
    RunFiles files;
    if (Has("--csv")) files.csv = args_.csv;
    if (Has("--plot")) files.plot = args_.plot;
    if (Has("--summary-json")) files.summaryJson = args_.summaryJson;
    if (Has("--reference-tolerance")) files.referenceTolerance = args_.referenceTolerance;
    return files;
}

int ExecuteRun(sim::RunOptions& o, const RunFiles& files, std::chrono::steady_clock::time_point began,
               std::ostream& out, std::ostream& err, nlohmann::ordered_json* document) {
    // Every output is claimed before the run and put in place after it.
    if (files.plot) sim::CheckPlotFile(*files.plot);
    Outputs outputs;
    sim::OutputFile* csv = files.csv ? &outputs.Claim(*files.csv, "--csv") : nullptr;
    sim::OutputFile* plot = files.plot ? &outputs.Claim(*files.plot, "--plot") : nullptr;
    sim::OutputFile* summaryJson = files.summaryJson ? &outputs.Claim(*files.summaryJson, "--summary-json") : nullptr;
    if (files.standardOutputTaken && outputs.OnStandardOutput())
        throw sim::SimError("the batch's results go to the standard output, and no file of a variant may");
    o.csvOutput = csv;
    o.keepSamples = o.keepSamples || plot != nullptr;
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
    const int status = Verdict(result, files.referenceTolerance, findings);
    if (summaryJson || document) {
        sim::RunEnding ending;
        ending.version = DVX_VERSION;
        if (csv) ending.csv = *files.csv;
        if (plot) ending.plot = *files.plot;
        ending.exitStatus = status;
        ending.message = findings.str();
        ending.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (summaryJson) sim::WriteSummaryJson(*summaryJson, result, ending);
        if (document) *document = sim::SummaryJson(result, ending);
    }
    outputs.CommitAll();
    sim::PrintSummary(result, report);
    report << "\n";
    if (csv) report << "CSV written to " << *files.csv << "\n";
    if (plot) report << "plot written to " << *files.plot << "\n";
    if (summaryJson) report << "summary written to " << *files.summaryJson << "\n";
    err << findings.str();
    return status;
}

} // namespace dvx::tool

// One simulation run from a model file to its outputs: the summary, the CSV
// and the plot. The command-line tool and the tests both start here.
#pragma once

#include "hostsim/sim/model/model.h"
#include "hostsim/sim/session/session.h"
#include "hostsim/sim/output/output_file.h"
#include "hostsim/sim/output/result.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace dvx::sim {

struct RunOptions {
    std::filesystem::path model;
    std::filesystem::path library;
    std::optional<double> start, stop, step, outputInterval, rtol, atol, maxStep;
    std::optional<long> maxSteps;
    std::optional<Method> method;
    std::vector<std::pair<std::string, std::string>> params; // INSTANCE, TEXT
    std::vector<ModelChange> changes;  // --set, applied to the model file in order
    std::vector<std::string> outputs;  // --output patterns; none: the model's record
    std::optional<std::filesystem::path> csv;
    // Where the CSV goes instead, claimed by the caller before the run and
    // committed by it afterwards.
    OutputFile* csvOutput = nullptr;
    std::optional<std::filesystem::path> reference; // a result to compare with
    bool logCalls = false;
    BlockSharing blocks = BlockSharing::Shared; // the instances' VectorBlocks and MatrixBlocks
    bool progress = false;
    bool keepSamples = true; // RunResult::samples; off for long runs that need only the CSV
    // A batch's: the model file's text, read once (else `model` is read),
    // and the library, loaded once (else `library` is loaded).
    std::shared_ptr<const std::string> modelText;
    SharedLibrary loaded;
    // Wall seconds the run may take from its start; past them it stops
    // with a SimError at its next step.
    std::optional<double> timeLimit;
    // How messages about faulty overrides (start, stop, ...) name them.
    const char* settingsOrigin = "the settings given on the command line: ";
};

// Runs the model. Warnings and the call log go to `log`. Throws SimError on
// any failure; the CSV then is not left behind.
RunResult RunSimulation(const RunOptions& options, std::ostream& log);

// Applies the command line's settings and --param overrides to a model.
void ApplyOverrides(const RunOptions& options, Model& model);

} // namespace dvx::sim

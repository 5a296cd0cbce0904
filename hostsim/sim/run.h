// One simulation run from a model file to its outputs: the summary, the CSV
// and the plot. The command-line tool and the tests both start here.
#pragma once

#include "hostsim/sim/model.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/reference.h"

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
    std::optional<Method> method;
    std::vector<std::pair<std::string, std::string>> params; // INSTANCE, TEXT
    std::vector<ModelChange> changes;  // --set, applied to the model file in order
    std::vector<std::string> outputs;  // --output patterns; none: the model's record
    std::optional<std::filesystem::path> csv;
    std::optional<std::filesystem::path> reference; // a result to compare with
    bool logCalls = false;
    bool progress = false;
    bool keepSamples = true; // RunResult::samples; off for long runs that need only the CSV
};

struct InstanceReport {
    std::string name;
    std::vector<double> finals; // every output at the stop time, catalogue order
    double energyIn = 0.0;      // integral of M1*OMEGA1 dt [J]
    double energyOut = 0.0;     // integral of M2*OMEGA2 dt [J]
    double maxResidual = 0.0;   // largest |-OMEGA1/K + OMEGA2| over all steps
};

// The model's energy account at the stop time.
struct EnergyReport {
    std::vector<EnergyAccount> elements; // supplied and dissipated, per element
    double supplied = 0.0;
    double dissipated = 0.0;
    double storedStart = 0.0; // in inertias and springs
    double storedEnd = 0.0;
    double atEvents = 0.0; // lost at events (SolverStats::eventEnergy)
    // supplied - dissipated - lost at events - (storedEnd - storedStart):
    // zero but for the integration error.
    double Balance() const { return supplied - dissipated - atEvents - (storedEnd - storedStart); }
};

struct RunResult {
    Settings settings;  // as run, after the command line's overrides
    StepPlan plan;
    SolverStats stats;
    std::vector<std::string> outputNames; // catalogue order
    std::vector<InstanceReport> reports;  // recorded instances, model order
    EnergyReport energy;
    std::vector<std::string> columns;     // "time", then INSTANCE.OUTPUT and ELEMENT.OUTPUT
    std::vector<std::vector<double>> samples; // one row per output time
    std::shared_ptr<const ReferenceComparison> reference; // with RunOptions::reference
};

// Runs the model. Warnings and the call log go to `log`. Throws SimError on
// any failure; the CSV then is not left behind.
RunResult RunSimulation(const RunOptions& options, std::ostream& log);

// Applies the command line's settings and --param overrides to a model.
void ApplyOverrides(const RunOptions& options, Model& model);

void PrintSummary(const RunOptions& options, const RunResult& result, std::ostream& out);
// The comparison with the reference, for the summary; nothing without one.
void PrintReference(const RunResult& result, std::ostream& out);

// A number as the CSV and the summary print it: shortest text that keeps 12
// significant digits, the same on every platform.
std::string FormatNumber(double value, int digits = 12);

} // namespace dvx::sim

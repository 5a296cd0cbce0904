// What a run produced, as the outputs (summary, CSV, plot, reference
// comparison) present it.
#pragma once

#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/output/reference.h"

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace dvx::sim {

struct InstanceReport {
    std::string name;
    std::vector<double> finals; // every output at the stop time, catalogue order
    double energyIn = 0.0;      // integral of M1*OMEGA1 dt [J]
    double energyOut = 0.0;     // integral of M2*OMEGA2 dt [J]
    double maxResidual = 0.0;   // largest |-OMEGA1/K + OMEGA2| over all steps
    double maxResidualAt = 0.0; // its time [s]
    double speedScale = 0.0;    // largest |OMEGA2| over all steps [rad/s]
    bool total = false;         // the sum over all instances (no finals), shown when not all are recorded
};

// The first value of a run that is not a finite number.
struct NonFinite {
    bool seen = false;
    std::string what; // a column
    double value = 0.0;
    double at = 0.0;  // its time [s]
};

// The model's energy account at the stop time.
struct EnergyReport {
    std::vector<EnergyAccount> elements; // supplied and dissipated, per element
    double supplied = 0.0;
    double dissipated = 0.0;
    double storedStart = 0.0; // in inertias and springs
    double storedEnd = 0.0;
    double atEvents = 0.0; // lost at events (SolverStats::eventEnergy)
    // False for a run that kept no energy account (Settings::energy): every
    // energy here and in the instances' reports is absent, not zero.
    bool kept = true;
    // supplied - dissipated - lost at events - (storedEnd - storedStart):
    // zero but for the integration error.
    double Balance() const { return supplied - dissipated - atEvents - (storedEnd - storedStart); }
};

struct RunResult {
    std::filesystem::path model;   // the model file, as given
    std::filesystem::path library; // the component library, as loaded
    std::string backend;           // how it ran: "native", "emulated i386 CPU (...)"
    Settings settings;  // as run, after the command line's overrides
    StepPlan plan;
    SolverStats stats;
    std::vector<std::string> outputNames; // catalogue order
    std::vector<InstanceReport> reports;  // recorded instances, model order
    EnergyReport energy;
    std::vector<std::string> columns;     // "time", then INSTANCE.OUTPUT and ELEMENT.OUTPUT
    std::vector<std::vector<double>> samples; // one row per output time
    std::shared_ptr<const ReferenceComparison> reference; // with RunOptions::reference
    NonFinite nonFinite; // in the samples
    std::vector<std::string> findings; // CheckResult's, for every instance
};

// What a completed run's results fail: a value that is not finite, an
// energy account that does not close, a gear equation that does not hold,
// each beyond what the method's tolerances allow; one finding a line,
// naming the figure and where. Empty when the results pass.
std::vector<std::string> CheckResult(const RunResult& result);

void PrintSummary(const RunResult& result, std::ostream& out);
// The comparison with the reference, for the summary; nothing without one.
void PrintReference(const RunResult& result, std::ostream& out);

} // namespace dvx::sim

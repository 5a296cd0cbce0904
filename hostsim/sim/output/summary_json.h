// The run's summary as a JSON document, for programs: everything the printed
// summary shows, with the tool's version, the files written, the wall time
// and the exit status. docs/summary-json.md describes the document; its
// "format" changes whenever a key changes meaning or goes away.
#pragma once

#include "hostsim/sim/output/output_file.h"
#include "hostsim/sim/output/result.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace dvx::sim {

constexpr int kSummaryJsonFormat = 1;

// How a run that completed ended, as only the tool knows it.
struct RunEnding {
    std::string version; // the tool's
    std::optional<std::filesystem::path> csv, plot;
    double wallSeconds = 0.0; // from the start of the command to the end of its files
    int exitStatus = 0;       // 0, or 2: completed, but a check failed
    std::string message;      // what the failed checks printed; empty with status 0
};

// The document; numbers as doubles (JSON's null where one is not finite).
nlohmann::ordered_json SummaryJson(const RunResult& result, const RunEnding& ending);

// Writes the document into `file`, which the caller commits with the run's
// other outputs.
void WriteSummaryJson(OutputFile& file, const RunResult& result, const RunEnding& ending);

} // namespace dvx::sim

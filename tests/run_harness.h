// Runs of the simulator as the tool makes them, in-process: an example or a
// model text written to a temporary file, the log kept, columns found by
// name.
#pragma once

#include "hostsim/kit/library.h"
#include "hostsim/sim/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace dvx::sim::testing {

inline const std::filesystem::path kExamples = std::filesystem::path(DVX_SOURCE_DIR) / "examples";

// Every example folder, for suites that run each of them.
inline constexpr const char* kExampleNames[] = {"motor-gear",    "variable-ratio", "gear-chain",       "brake-stop",
                                                "clutch-lockup", "vehicle-launch", "driveline-shuffle"};

// A test name for an example's parameter: "vehicle-launch" is vehicle_launch.
inline std::string ExampleTestName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

inline RunOptions ExampleOptions(const std::string& example) {
    RunOptions o;
    o.model = kExamples / example / "model.json";
    o.library = host::LibraryBesideProgram();
    return o;
}

// A model text in a file of its own in the temporary folder.
inline RunOptions TextOptions(const std::string& name, const std::string& text) {
    RunOptions o;
    o.model = std::filesystem::temp_directory_path() / ("dvx-" + name + ".json");
    std::ofstream(o.model) << text;
    o.library = host::LibraryBesideProgram();
    return o;
}

inline RunResult RunQuietly(const RunOptions& o, std::string* log = nullptr) {
    std::ostringstream text;
    RunResult r = RunSimulation(o, text);
    if (log != nullptr) *log = text.str();
    return r;
}

// What a failing run says.
inline std::string FailureOf(const RunOptions& o) {
    std::ostringstream log;
    try {
        RunSimulation(o, log);
    } catch (const SimError& e) {
        return e.what();
    }
    ADD_FAILURE() << o.model << ": the run did not fail";
    return "";
}

inline size_t Column(const RunResult& r, const std::string& name) {
    for (size_t c = 0; c < r.columns.size(); ++c)
        if (r.columns[c] == name) return c;
    ADD_FAILURE() << "no column " << name;
    return 0;
}

} // namespace dvx::sim::testing

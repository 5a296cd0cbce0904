// dolvanex-host check: a conformance run of the call protocol against any
// library that offers the five exports. Each check prints one line, "ok" or
// "FINDING" with what is wrong in plain words.
#pragma once

#include "hostsim/kit/block_pool.h"
#include "hostsim/kit/instance.h"
#include "hostsim/sim/session/session.h"
#include "hostsim/kit/recorder.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace dvx::sim {

// Returns the number of findings (a library that cannot be loaded is one).
int RunConformance(const std::filesystem::path& library, std::ostream& out);

class Checker {
public:
    Checker(const host::ComponentLibrary& library, std::ostream& out);

    // Records one check; `finding` says what is wrong when `ok` is false.
    bool Expect(bool ok, const std::string& what, const std::string& finding = "");
    int Findings() const { return findings_; }
    int Checks() const { return checks_; }

    // A fresh instance with the simulator's blocks (of its own, or in blocks
    // it shares with the case's other instances, as `sharing` says),
    // released and checked for lock balance when the current case ends.
    host::HostInstance& NewInstance();
    BlockSharing sharing = BlockSharing::PerInstance;
    // Runs a group of checks; every call it made must have left every lock
    // count as it found it.
    void Case(const std::string& title, const std::function<void()>& body);

    const host::ComponentLibrary& lib;
    host::HostRecorder recorder;
    ModelDescriptor descriptor{};
    std::vector<std::string> outputs; // catalogue outputs

private:
    std::ostream& out_;
    int findings_ = 0;
    int checks_ = 0;
    std::unique_ptr<host::BlockPool> pool_; // the case's shared blocks, freed after its instances
    std::vector<std::unique_ptr<host::HostInstance>> instances_;
};

// The groups of checks, in check_startup.cpp and check_calls.cpp.
void CheckStartup(Checker& c);
void CheckCatalogue(Checker& c);
void CheckStatuses(Checker& c);
void CheckNumericProtocol(Checker& c);
void CheckNamedProtocol(Checker& c);
void CheckMessages(Checker& c);

} // namespace dvx::sim

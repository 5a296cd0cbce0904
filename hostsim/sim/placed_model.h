// A model placed and ready to run: the model, the loaded component with
// every instance set up, its outputs looked up and laid out (in the order of
// the model's instances), and the network of the model's elements and those
// instances. The run, the analyses, the benchmarks and the tests start from
// one; the instances are released when it goes.
#pragma once

#include "hostsim/sim/model/model.h"
#include "hostsim/sim/network/network.h"
#include "hostsim/sim/session/session.h"

#include <filesystem>
#include <memory>
#include <ostream>

namespace dvx::sim {

struct PlaceOptions {
    bool logCalls = false; // every call of the component on the log
    BlockSharing blocks = BlockSharing::Shared;
    SharedLibrary loaded; // the library, already loaded (a batch's); else it is loaded from its path
};

class PlacedModel {
public:
    // Loads `library` unless options.loaded holds it (messages of the
    // component go to `log`), places the model's instances and builds its
    // network. Throws SimError naming the
    // library, the instance and the call where that fails.
    PlacedModel(Model model, const std::filesystem::path& library, std::ostream& log,
                const PlaceOptions& options = {});
    PlacedModel(const PlacedModel&) = delete;
    PlacedModel& operator=(const PlacedModel&) = delete;

    // The model file at `path` with its --set changes, placed.
    static std::unique_ptr<PlacedModel> Load(const std::filesystem::path& path, const std::vector<ModelChange>& changes,
                                             const std::filesystem::path& library, std::ostream& log,
                                             const PlaceOptions& options = {});

    Model model; // first: the session and the network refer to it
    Session session;
    Network& network() { return *network_; }
    const Network& network() const { return *network_; }

private:
    std::unique_ptr<Network> network_;
};

} // namespace dvx::sim

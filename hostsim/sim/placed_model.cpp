#include "hostsim/sim/placed_model.h"

namespace dvx::sim {

PlacedModel::PlacedModel(Model parsed, const std::filesystem::path& library, std::ostream& log,
                         const PlaceOptions& options)
    : model(std::move(parsed)),
      session(options.loaded ? options.loaded : OpenLibrary(library), log, options.logCalls, options.blocks) {
    session.SetQuantities(&model.quantities);
    for (const Instance& instance : model.instances) session.Place(instance.name, instance.parameters);
    network_ = std::make_unique<Network>(model, session);
}

std::unique_ptr<PlacedModel> PlacedModel::Load(const std::filesystem::path& path,
                                               const std::vector<ModelChange>& changes,
                                               const std::filesystem::path& library, std::ostream& log,
                                               const PlaceOptions& options) {
    return std::make_unique<PlacedModel>(LoadModel(path, changes), library, log, options);
}

} // namespace dvx::sim

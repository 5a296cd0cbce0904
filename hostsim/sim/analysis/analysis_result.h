// What the analysis commands give: the modes, or the frequency response, of
// a model linearised at a time, with the files and the library they came
// from.
#pragma once

#include "hostsim/sim/analysis/campbell.h"
#include "hostsim/sim/analysis/modal_energy.h"
#include "hostsim/sim/analysis/modes.h"
#include "hostsim/sim/analysis/order_response.h"
#include "hostsim/sim/analysis/response.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dvx::sim {

struct ModesResult {
    std::filesystem::path model;
    std::filesystem::path library;
    std::string backend; // how the library ran

    ModeSet set;
    std::optional<ModalEnergy> energy; // with --energy
};

struct ResponseResult {
    std::filesystem::path model;
    std::filesystem::path library;
    std::string backend;
    double t = 0.0;
    std::vector<std::string> unitModes;
    FrequencyResponse response;
};

struct CampbellResult {
    std::filesystem::path model;
    std::filesystem::path library;
    std::string backend;
    CampbellDiagram diagram;
};

struct OrderResponseResult {
    std::filesystem::path model;
    std::filesystem::path library;
    std::string backend;
    OrderResponse response;
};

} // namespace dvx::sim

// A model of every element type's examples on the nodes a, b and c, each
// named after its type and place ("clutch_1"), with a gear between b and c:
// the model that the tests of every element build from the registry.
#pragma once

#include "hostsim/sim/elements/element_doc.h"

#include <nlohmann/json.hpp>

#include <string>

namespace dvx::sim::testing {

inline std::string ExampleName(const char* type, size_t i) { return std::string(type) + "_" + std::to_string(i); }

inline std::string EveryElementModel() {
    nlohmann::json elements = nlohmann::json::array();
    for (const ElementTypeInfo& type : ElementTypes()) {
        for (size_t i = 0; i < type.doc->examples.size(); ++i) {
            nlohmann::json element = nlohmann::json::parse(type.doc->examples[i]);
            element["name"] = ExampleName(type.name, i);
            elements.push_back(element);
        }
    }
    const nlohmann::json model = {
        {"nodes", {"a", "b", "c"}},
        {"elements", elements},
        {"instances", {{{"name", "gear"}, {"parameters", "2"}, {"ROT1", "b"}, {"ROT2", "c"}}}}};
    return model.dump();
}

} // namespace dvx::sim::testing

// What the documentation says of an element type, written beside its code:
// its keys and its equation as the element table of docs/model-format.md
// has them (a test checks that table against these, and its outputs table
// against the units' own output names), and examples of the element on the
// nodes "a", "b" and "c" that between them reach every mode, from which the
// test of every element's Jacobian builds its model.
#pragma once

#include <span>

namespace dvx::sim {

struct ElementDoc {
    const char* keys;     // the table's Keys cell, Markdown
    const char* equation; // its Equation cell
    std::span<const char* const> examples; // JSON objects of the type
};

// Every element type of model files, in the order of list.h.
struct ElementTypeInfo {
    const char* name;
    const ElementDoc* doc;
};
std::span<const ElementTypeInfo> ElementTypes();

#define DVX_ELEMENT(name, reader, doc) extern const ElementDoc doc;
#include "hostsim/sim/elements/list.h"
#undef DVX_ELEMENT

} // namespace dvx::sim

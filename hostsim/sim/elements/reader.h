// What an element type's unit file reads from its object in the model file,
// with every problem reported at its JSON path.
#pragma once

#include "hostsim/sim/elements/element.h"
#include "hostsim/sim/elements/element_doc.h"
#include "hostsim/sim/input/json_reader.h"
#include "hostsim/sim/input/waveform.h"

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

namespace dvx::sim {

class ElementReader {
public:
    // `node` resolves a node reference; ground only where `groundOk`.
    using NodeLookup = std::function<int(const JsonAt&, bool groundOk)>;

    ElementReader(const JsonAt& at, NodeLookup node) : at_(at), node_(std::move(node)) {}

    const JsonAt& At() const { return at_; }
    [[noreturn]] void Fail(const std::string& what) const { at_.Fail(what); }

    // The type's own keys; "type" and "name" are always allowed.
    void Keys(std::initializer_list<const char*> known) const;

    int Node(const char* key) const { return node_(at_.Field(key), false); }
    // "a" and "b" of a two-ended element: different nodes, "b" defaults to
    // the ground.
    void TwoEnds(int& a, int& b) const;

    double Number(const char* key) const { return at_.NumberField(key); }
    double Number(const char* key, double fallback) const { return at_.NumberField(key, fallback); }
    double Positive(const char* key) const;
    double NonNegative(const char* key) const;
    // A number at least `lower`, `fallback` when the key is absent.
    double AtLeast(const char* key, double lower, double fallback) const;
    Waveform Wave(const char* key) const;
    // A waveform that must never go below zero (checked at its corners and
    // bounds).
    Waveform NonNegativeWave(const char* key) const;
    // A table over something other than time, [[x, y], ...] with x strictly
    // increasing.
    Table PointTable(const char* key) const;

private:
    const JsonAt& at_;
    NodeLookup node_;
};

using ElementFactory = std::unique_ptr<ElementUnit> (*)(const ElementReader&);

// The factory of an element type, or null; `known` lists every type name.
ElementFactory FindElementType(const std::string& type, std::string* known);

} // namespace dvx::sim

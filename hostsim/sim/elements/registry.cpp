// The element types by name, and the reading helpers their units share.
#include "hostsim/sim/elements/reader.h"

#include "hostsim/sim/input/waveform_read.h"

#include <vector>

namespace dvx::sim {

#define DVX_ELEMENT(name, reader, doc) std::unique_ptr<ElementUnit> reader(const ElementReader&);
#include "hostsim/sim/elements/list.h"
#undef DVX_ELEMENT

namespace {

struct ElementType {
    const char* name;
    ElementFactory read;
};

const ElementType kTypes[] = {
#define DVX_ELEMENT(name, reader, doc) {name, reader},
#include "hostsim/sim/elements/list.h"
#undef DVX_ELEMENT
};

const ElementTypeInfo kInfo[] = {
#define DVX_ELEMENT(name, reader, doc) {name, &doc},
#include "hostsim/sim/elements/list.h"
#undef DVX_ELEMENT
};

} // namespace

std::span<const ElementTypeInfo> ElementTypes() { return kInfo; }

ElementFactory FindElementType(const std::string& type, std::string* known) {
    if (known != nullptr) known->clear();
    for (const ElementType& t : kTypes) {
        if (type == t.name) return t.read;
        if (known != nullptr) *known += (known->empty() ? "" : ", ") + std::string(t.name);
    }
    return nullptr;
}

void ElementReader::Keys(std::initializer_list<const char*> known) const {
    std::vector<const char*> all{"type", "name"};
    all.insert(all.end(), known.begin(), known.end());
    at_.OnlyKeys(all);
}

void ElementReader::TwoEnds(int& a, int& b) const {
    a = node_(at_.Field("a"), true);
    b = at_.Has("b") ? node_(at_.Field("b"), true) : -1;
    if (a == b) Fail("both ends are on the same node");
}

double ElementReader::Positive(const char* key) const {
    const JsonAt field = at_.Field(key);
    const double x = field.Number();
    if (x <= 0.0) field.Fail("must be positive (got " + field.Value().dump() + ")");
    return x;
}

double ElementReader::NonNegative(const char* key) const {
    const JsonAt field = at_.Field(key);
    const double x = field.Number();
    if (x < 0.0) field.Fail("must not be negative (got " + field.Value().dump() + ")");
    return x;
}

double ElementReader::AtLeast(const char* key, double lower, double fallback) const {
    if (!at_.Has(key)) return fallback;
    const JsonAt field = at_.Field(key);
    const double x = field.Number();
    if (x < lower) field.Fail("must be at least " + std::to_string(lower) + " (got " + field.Value().dump() + ")");
    return x;
}

Waveform ElementReader::Wave(const char* key) const { return ReadWaveform(at_.Field(key)); }

Waveform ElementReader::NonNegativeWave(const char* key) const {
    const JsonAt field = at_.Field(key);
    Waveform wave = ReadWaveform(field);
    if (LowestValue(wave) < 0.0) field.Fail("must never be negative");
    return wave;
}

Table ElementReader::PointTable(const char* key) const {
    const JsonAt points = at_.Field(key);
    points.ExpectArray();
    if (points.Size() == 0) points.Fail("a table needs at least one point");
    Table table;
    for (size_t i = 0; i < points.Size(); ++i) {
        const JsonAt point = points.Element(i);
        point.ExpectArray();
        if (point.Size() != 2) point.Fail("a point is a pair of numbers");
        const double x = point.Element(0).Number();
        if (!table.times.empty() && x <= table.times.back())
            point.Element(0).Fail("the first numbers of a table's points must strictly increase");
        table.times.push_back(x);
        table.values.push_back(point.Element(1).Number());
    }
    return table;
}

} // namespace dvx::sim

// Changes to a model file given on the command line (--set PLACE=VALUE),
// made to its JSON before the model reader sees it, so that a changed value
// meets every check a value in the file meets.
#include "hostsim/sim/elements/reader.h"
#include "hostsim/sim/input/json_reader.h"
#include "hostsim/sim/model/model.h"

namespace dvx::sim {

namespace {

std::string Origin(const ModelChange& change) { return "--set " + change.place + "=" + change.value; }

[[noreturn]] void Fail(const ModelChange& change, const std::string& what) {
    throw SimError(Origin(change) + ": " + what);
}

// What a NAME of a place may name, in the order the model file lists them.
enum class Kind { Element, Node, Quantity, Instance };

struct List {
    Kind kind;
    const char* key;    // in the model file
    const char* plural; // in messages
};

const List kLists[] = {{Kind::Element, "elements", "elements"},
                       {Kind::Node, "nodes", "nodes"},
                       {Kind::Quantity, "quantities", "quantities"},
                       {Kind::Instance, "instances", "instances"}};

// The name of an item of a list, or nothing; a node may be its name alone.
std::string NameOf(const Json& item, Kind kind) {
    if (kind == Kind::Node && item.is_string()) return item.get<std::string>();
    if (item.is_object() && item.contains("name") && item["name"].is_string()) return item["name"].get<std::string>();
    return {};
}

// The items of a list of the file; none where the file lacks it or has
// something else there (the model reader then says what is wrong).
Json* Items(Json& root, const List& list) {
    if (!root.is_object() || !root.contains(list.key) || !root[list.key].is_array()) return nullptr;
    return &root[list.key];
}

struct Candidate {
    Kind kind;
    Json* item;
    std::string path;
};

std::string Describe(const Candidate& c) {
    switch (c.kind) {
    case Kind::Element: {
        const Json& item = *c.item;
        const bool typed = item.contains("type") && item["type"].is_string();
        return "the " + (typed ? item["type"].get<std::string>() + " " : std::string()) + "element at " + c.path;
    }
    case Kind::Node: return "the node at " + c.path;
    case Kind::Quantity: return "the quantity at " + c.path;
    case Kind::Instance: return "the instance at " + c.path;
    }
    return c.path;
}

// Whether the element's type reads `key`: its reader, given the element
// with the key added, does not refuse the key as unknown.
bool ElementTakes(const Json& item, const std::string& key) {
    if (!item.contains("type") || !item["type"].is_string()) return false;
    const ElementFactory read = FindElementType(item["type"].get<std::string>(), nullptr);
    if (read == nullptr) return false;
    Json probe = item;
    probe[key] = nullptr;
    const std::string file = "probe";
    const JsonAt at(probe, "", file);
    try {
        read(ElementReader(at, [](const JsonAt&, bool) { return 0; }));
    } catch (const SimError& e) {
        return std::string(e.what()).find("(top level): unknown field \"" + key + "\"") == std::string::npos;
    }
    return true;
}

// Whether the thing may hold `key` at all; the keys of nodes, quantities and
// instances are those their readers take.
bool Takes(const Candidate& c, const std::string& key) {
    if (key == "name") return true;
    switch (c.kind) {
    case Kind::Element: return ElementTakes(*c.item, key);
    case Kind::Node: return key == "omega0";
    case Kind::Quantity: return key == "value";
    case Kind::Instance: return key == "parameters" || key == "ROT1" || key == "ROT2";
    }
    return false;
}

bool Holds(const Candidate& c, const std::string& key) { return c.item->is_object() && c.item->contains(key); }

std::string UnknownName(Json& root, const std::string& name) {
    std::string lists;
    for (const List& list : kLists) {
        std::string names;
        if (const Json* items = Items(root, list))
            for (const Json& item : *items) {
                const std::string n = NameOf(item, list.kind);
                if (!n.empty()) names += (names.empty() ? "" : ", ") + n;
            }
        lists += (lists.empty() ? "" : "; ") + std::string(list.plural) + ": " + (names.empty() ? "none" : names);
    }
    return "no element, node, quantity or instance is named \"" + name + "\" (" + lists + "; or simulation.KEY)";
}

// The thing that NAME.KEY... names: the one that holds KEY already, else the
// one that takes it.
Candidate Choose(Json& root, const ModelChange& change, const std::string& name, const std::string& key) {
    std::vector<Candidate> all;
    for (const List& list : kLists)
        if (Json* items = Items(root, list))
            for (size_t i = 0; i < items->size(); ++i)
                if (NameOf((*items)[i], list.kind) == name)
                    all.push_back({list.kind, &(*items)[i], "/" + std::string(list.key) + "/" + std::to_string(i)});
    if (all.empty()) Fail(change, UnknownName(root, name));
    if (all.size() == 1) return all.front();
    std::vector<Candidate> holders, takers;
    for (const Candidate& c : all) {
        if (Holds(c, key)) holders.push_back(c);
        if (Takes(c, key)) takers.push_back(c);
    }
    if (holders.size() == 1) return holders.front();
    if (holders.empty() && takers.size() == 1) return takers.front();
    std::string names;
    for (size_t i = 0; i < all.size(); ++i)
        names += (i == 0 ? "" : i + 1 == all.size() ? " and " : ", ") + Describe(all[i]);
    const std::string why = !holders.empty() ? "more than one of them holds \"" + key + "\""
                            : takers.empty() ? "none of them takes \"" + key + "\""
                                             : "none holds \"" + key + "\" and more than one takes it";
    Fail(change, "the place is ambiguous: \"" + name + "\" names " + names + ", and " + why);
}

std::vector<std::string> Segments(const ModelChange& change) {
    const std::string forms = " (a place is simulation.KEY, NAME.KEY or NAME.KEY.SUBKEY...)";
    if (change.place.empty()) Fail(change, "the place before '=' is empty" + forms);
    if (change.value.empty()) Fail(change, "the value after '=' is empty");
    std::vector<std::string> segments;
    size_t from = 0;
    for (;;) {
        const size_t dot = change.place.find('.', from);
        segments.push_back(change.place.substr(from, dot == std::string::npos ? std::string::npos : dot - from));
        if (dot == std::string::npos) break;
        from = dot + 1;
    }
    if (segments.size() < 2) Fail(change, "the place has no dot" + forms);
    if (segments.front().empty()) Fail(change, "the name before the first dot is empty" + forms);
    for (size_t k = 1; k < segments.size(); ++k)
        if (segments[k].empty()) Fail(change, "the place has an empty key" + forms);
    return segments;
}

// The value as JSON where it is JSON (a number, true, "text", {...}),
// otherwise as the text itself.
// Text that goes into the model file's JSON, which holds UTF-8 only.
bool IsUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

Json ValueOf(const ModelChange& change) {
    if (Json::accept(change.value)) return ParseJson(change.value, Origin(change));
    if (!IsUtf8(change.value)) Fail(change, "the value is not valid UTF-8 text");
    return change.value;
}

void Apply(Json& root, const ModelChange& change) {
    if (!IsUtf8(change.place)) Fail(change, "the place is not valid UTF-8 text");
    const std::vector<std::string> segments = Segments(change);
    const Json value = ValueOf(change);
    if (!root.is_object()) Fail(change, "the model file holds no object to change");
    Json* at = nullptr;
    std::string path;
    if (segments[0] == "simulation") {
        if (!root.contains("simulation")) root["simulation"] = Json::object();
        at = &root["simulation"];
        path = "/simulation";
    } else {
        const Candidate c = Choose(root, change, segments[0], segments[1]);
        if (c.item->is_string()) *c.item = Json{{"name", segments[0]}}; // a node named only, to carry a key
        at = c.item;
        path = c.path;
    }
    for (size_t k = 1; k < segments.size(); ++k) {
        if (!at->is_object())
            Fail(change, path + " is " + std::string(at->type_name()) + ", not an object that could hold \"" +
                             segments[k] + "\"");
        if (k + 1 == segments.size()) {
            (*at)[segments[k]] = value;
        } else {
            if (!at->contains(segments[k])) (*at)[segments[k]] = Json::object();
            at = &(*at)[segments[k]];
            path += "/" + segments[k];
        }
    }
}

// The change that makes the model fail with `message`: the changes are made
// one after another, the model read after each, and the first one after
// which the reader says `message` is it. (An earlier change may fail on its
// own, say a start time moved past the old stop time that a later change
// moves too; it is not the cause.)
const ModelChange& Culprit(const Json& original, const std::vector<ModelChange>& changes,
                           const std::filesystem::path& file, const std::string& message) {
    Json partial = original;
    for (const ModelChange& change : changes) {
        Apply(partial, change);
        try {
            ParseModel(partial.dump(), file);
        } catch (const SimError& e) {
            if (message == e.what()) return change;
        }
    }
    return changes.back(); // all of them together: where the message came from
}

} // namespace

Model LoadModel(const std::filesystem::path& file, const std::vector<ModelChange>& changes) {
    if (changes.empty()) return LoadModel(file);
    return ParseModel(ReadModelText(file), file, changes);
}

Model ParseModel(const std::string& text, const std::filesystem::path& file, const std::vector<ModelChange>& changes) {
    if (changes.empty()) return ParseModel(text, file);
    const Json original = ParseJson(text, file.string());
    Json changed = original;
    try {
        for (const ModelChange& change : changes) Apply(changed, change);
    } catch (const SimError&) {
        ParseModel(text, file); // a fault of the file itself comes first, as without changes
        throw;
    }
    try {
        return ParseModel(changed.dump(), file);
    } catch (const SimError& e) {
        ParseModel(text, file);
        const std::string message = e.what();
        throw SimError(Origin(Culprit(original, changes, file, message)) + ": " + message);
    }
}

} // namespace dvx::sim

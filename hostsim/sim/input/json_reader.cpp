#include "hostsim/sim/input/json_reader.h"

#include <cmath>
#include <set>
#include <vector>

namespace dvx::sim {

namespace {

// One open container while parsing: the keys seen so far (objects) or the
// index of the current element (arrays), to name the path of a repeated key.
struct Frame {
    bool isArray = false;
    long index = -1;
    std::string key;
    std::set<std::string> keys;
};

std::string Escape(const std::string& key) {
    std::string out;
    for (char c : key) {
        if (c == '~') out += "~0";
        else if (c == '/') out += "~1";
        else out += c;
    }
    return out;
}

std::string PathOf(const std::vector<Frame>& frames, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i)
        path += "/" + (frames[i].isArray ? std::to_string(frames[i].index) : Escape(frames[i].key));
    return path;
}

// nlohmann's messages begin with "[json.exception.parse_error.101] "; the
// user needs only what follows.
std::string WithoutTag(const std::string& what) {
    const size_t close = what.find("] ");
    return close == std::string::npos ? what : what.substr(close + 2);
}

// Deeper than any model file goes; a document of nested brackets alone
// stops here instead of filling the memory.
constexpr size_t kDepth = 64;

// The path of the value being read when the parser stopped inside it: the
// key just read in an object, the next element in an array.
std::string PathAtFailure(std::vector<Frame> frames) {
    if (!frames.empty() && frames.back().isArray) ++frames.back().index;
    return frames.empty() ? "(top level)" : PathOf(frames, frames.size());
}

} // namespace

Json ParseJson(const std::string& text, const std::string& file) {
    std::vector<Frame> frames;
    auto callback = [&](int, Json::parse_event_t event, Json& parsed) {
        using E = Json::parse_event_t;
        const bool elementStarts = event == E::object_start || event == E::array_start || event == E::value;
        if (elementStarts && !frames.empty() && frames.back().isArray) ++frames.back().index;
        if ((event == E::object_start || event == E::array_start) && frames.size() >= kDepth)
            throw SimError(file + ": " + PathOf(frames, frames.size()) + ": nested deeper than " +
                           std::to_string(kDepth) + " levels, more than any model holds");
        switch (event) {
        case E::object_start: frames.push_back(Frame{}); break;
        case E::array_start: frames.push_back(Frame{true, -1, {}, {}}); break;
        case E::object_end:
        case E::array_end: frames.pop_back(); break;
        case E::key: {
            Frame& top = frames.back();
            top.key = parsed.get<std::string>();
            if (!top.keys.insert(top.key).second)
                throw SimError(file + ": " + PathOf(frames, frames.size()) + ": the key \"" + top.key +
                               "\" appears twice in the same object");
            break;
        }
        case E::value: break;
        }
        return true;
    };
    try {
        return Json::parse(text, callback);
    } catch (const Json::parse_error& e) {
        throw SimError(file + ": not valid JSON: " + WithoutTag(e.what()));
    } catch (const Json::out_of_range& e) {
        // A number beyond the range of a double ("number overflow parsing
        // '1e400'").
        const std::string what = e.what();
        const size_t open = what.find('\''), close = what.rfind('\'');
        const std::string number = open != std::string::npos && close > open ? what.substr(open + 1, close - open - 1) : "";
        throw SimError(file + ": " + PathAtFailure(frames) + ": the number " + number +
                       " lies beyond the range of a double");
    } catch (const Json::exception& e) {
        throw SimError(file + ": " + PathAtFailure(frames) + ": " + WithoutTag(e.what()));
    }
}

void JsonAt::Fail(const std::string& what) const {
    throw SimError(file_ + ": " + (path_.empty() ? std::string("(top level)") : path_) + ": " + what);
}

bool JsonAt::Has(const char* key) const { return value_.is_object() && value_.contains(key); }

JsonAt JsonAt::Field(const char* key) const {
    ExpectObject();
    auto it = value_.find(key);
    if (it == value_.end()) Fail(std::string("the field \"") + key + "\" is missing");
    return JsonAt(*it, path_ + "/" + Escape(key), file_);
}

std::optional<JsonAt> JsonAt::OptionalField(const char* key) const {
    if (!Has(key)) return std::nullopt;
    return Field(key);
}

JsonAt JsonAt::Element(size_t index) const {
    return JsonAt(value_.at(index), path_ + "/" + std::to_string(index), file_);
}

size_t JsonAt::Size() const { return value_.size(); }

void JsonAt::ExpectObject() const {
    if (!value_.is_object()) Fail(std::string("must be an object, not ") + value_.type_name());
}

void JsonAt::ExpectArray() const {
    if (!value_.is_array()) Fail(std::string("must be an array, not ") + value_.type_name());
}

void JsonAt::OnlyKeys(std::initializer_list<const char*> known) const {
    OnlyKeys(std::vector<const char*>(known));
}

void JsonAt::OnlyKeys(const std::vector<const char*>& known) const {
    ExpectObject();
    for (const auto& item : value_.items()) {
        bool found = false;
        for (const char* k : known) found = found || item.key() == k;
        if (found) continue;
        std::string list;
        for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
        Fail("unknown field \"" + item.key() + "\" (known here: " + list + ")");
    }
}

double JsonAt::Number() const {
    if (!value_.is_number()) Fail(std::string("must be a number, not ") + value_.type_name());
    const double x = value_.get<double>();
    if (!std::isfinite(x)) Fail("must be a finite number");
    return x;
}

double JsonAt::NumberField(const char* key, double fallback) const {
    const auto field = OptionalField(key);
    return field ? field->Number() : fallback;
}

bool JsonAt::Boolean() const {
    if (!value_.is_boolean()) Fail(std::string("must be true or false, not ") + value_.type_name());
    return value_.get<bool>();
}

std::string JsonAt::Text() const {
    if (!value_.is_string()) Fail(std::string("must be a string, not ") + value_.type_name());
    return value_.get<std::string>();
}

std::string JsonAt::Name() const {
    const std::string name = Text();
    if (name.empty() || name.size() > 259) Fail("a name must have 1 to 259 characters");
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-';
        if (!ok) Fail("the name \"" + name + "\" may hold only letters, digits, '_' and '-'");
    }
    return name;
}

} // namespace dvx::sim

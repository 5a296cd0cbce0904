// Reading a JSON document with every problem reported as "file: /json/path:
// what is wrong". Objects may not repeat a key (the parser would silently
// keep the last one) nor carry keys the reader does not know (a misspelt
// key would otherwise be ignored without a word).
#pragma once

#include "hostsim/sim/base/error.h"

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace dvx::sim {

using Json = nlohmann::json;

// Parses `text`; throws SimError for a syntax error (with line and column)
// or a repeated key (with its path).
Json ParseJson(const std::string& text, const std::string& file);

// A value inside the document together with its path, for messages.
class JsonAt {
public:
    JsonAt(const Json& value, std::string path, const std::string& file)
        : value_(value), path_(std::move(path)), file_(file) {}

    const Json& Value() const { return value_; }
    const std::string& Path() const { return path_; }
    const std::string& File() const { return file_; } // the model file, as messages name it
    [[noreturn]] void Fail(const std::string& what) const;

    bool Has(const char* key) const;
    JsonAt Field(const char* key) const; // the key must be present
    std::optional<JsonAt> OptionalField(const char* key) const;
    JsonAt Element(size_t index) const;
    size_t Size() const;

    void ExpectObject() const;
    void ExpectArray() const;
    // Fails on the first key not in `known`.
    void OnlyKeys(std::initializer_list<const char*> known) const;
    void OnlyKeys(const std::vector<const char*>& known) const;

    double Number() const;   // a finite number
    std::string Text() const; // a string
    bool Boolean() const;     // true or false
    // A name: 1 to 259 characters, letters, digits, '_' and '-'.
    std::string Name() const;

    double NumberField(const char* key) const { return Field(key).Number(); }
    double NumberField(const char* key, double fallback) const;

private:
    const Json& value_;
    std::string path_;
    const std::string& file_;
};

} // namespace dvx::sim

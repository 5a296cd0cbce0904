// Which columns a run writes: time, then instance outputs (INSTANCE.OUTPUT)
// and element outputs (ELEMENT.OUTPUT), chosen by shell-style patterns.
#pragma once

#include "hostsim/sim/model/model.h"

#include <string>
#include <string_view>
#include <vector>

namespace dvx::sim {

// Shell-style matching of a whole name: '*' any run of characters, '?' one
// character, "[abc]", "[a-z]" and "[!abc]" a set, '\' takes the next
// character as it is.
bool MatchesPattern(std::string_view pattern, std::string_view name);

struct ColumnChoice {
    std::vector<std::string> columns;       // "time" first
    std::vector<size_t> instances;          // recorded instances, model order
    std::vector<size_t> elements;           // recorded elements, model order
    // Per column after "time": its place in Network::Observe's outputs
    // (the recorded instances' outputs, then the recorded elements').
    std::vector<size_t> picks;
};

// Without patterns: every output of the instances in the model's `record`
// (all instances when it is empty), no element outputs. With patterns: every
// output of an instance or a named element that some pattern matches, in
// model order; a pattern that matches nothing is an error that lists what
// there is.
// The significant digits of the CSV's time column: 12, or as many as it
// takes for the samples' times to stay apart (a start of 1e10 s with an
// output interval of 0.01 s).
int TimeDigits(const Settings& settings);

ColumnChoice ChooseColumns(const Model& model, const std::vector<std::string>& instanceOutputs,
                           const std::vector<std::string>& patterns);

} // namespace dvx::sim

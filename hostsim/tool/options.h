// Command-line pieces the tool's commands share.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace dvx::tool {

// An option that takes one value per use and may be given any number of
// times (--set, --param, --output, --input).
inline CLI::Option* AddRepeatable(CLI::App* command, const std::string& name, std::vector<std::string>& values,
                                  const std::string& help) {
    return command->add_option(name, values, help)
        ->expected(1)
        ->allow_extra_args(false) // a value in [brackets] is a pattern or a text, not a list
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

} // namespace dvx::tool

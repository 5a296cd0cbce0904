// The command-line tool dolvanex-host: info, run and check, with --help on
// each. Everything it prints goes to `out` (results) and `err` (messages,
// warnings, progress), so that tests can call it in-process.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <utility>

namespace dvx::tool {

// Returns the exit code: 0 on success, non-zero on any failure or finding.
int ToolMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The library the tool loads without --lib: Dolvanex.so/.dll beside it.
std::filesystem::path DefaultLibrary();
// The bundled default example, as a path below a bundle or the source tree.
inline constexpr const char* kDefaultExample = "examples/motor-gear/model.json";

// The bundled default example, looked for beside the program (an unpacked
// bundle: <dir>/dolvanex-host and <dir>/examples/...), above it (the build
// tree) and in the source tree. Empty when none is found.
std::filesystem::path DefaultModel();

int Info(const std::filesystem::path& library, std::ostream& out, std::ostream& err);

// "NAME=VALUE" of an option such as --param: the text before the first '='
// (not empty) and the rest; throws SimError naming `option` and `form`.
std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option, const char* form);

} // namespace dvx::tool

#include "hostsim/tool/tool.h"

#include "hostsim/tool/batch_command.h"
#include "hostsim/tool/run_command.h"

#include "hostsim/check/check.h"
#include "hostsim/kit/library.h"
#include "hostsim/sim/base/error.h"
#include "hostsim/tool/analysis.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
#include <new>

#ifndef DVX_VERSION
#error "DVX_VERSION must come from the build (the CMake project version)"
#endif

namespace dvx::tool {

std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option, const char* form) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw sim::SimError(std::string(option) + " " + text + ": expected " + form);
    return {text.substr(0, eq), text.substr(eq + 1)};
}

std::filesystem::path DefaultLibrary() { return host::LibraryBesideProgram(); }

std::filesystem::path DefaultModel() {
    const std::filesystem::path here = host::ProgramDirectory();
    for (const std::filesystem::path& base :
         {here, here.parent_path(), here.parent_path().parent_path(), std::filesystem::path(DVX_SOURCE_DIR)}) {
        const std::filesystem::path candidate = (base / kDefaultExample).lexically_normal();
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
    return {};
}

int ToolMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"dolvanex-host: loads the Dolvanex component library as a host simulator does and runs it in "
                 "one-dimensional rotational drivetrain simulations",
                 "dolvanex-host"};
    // Options are --long and -s only: on Windows CLI11 would otherwise take
    // a path that starts with '/' (as Wine passes them) for an option.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", DVX_VERSION);
    app.require_subcommand(1);

    std::string infoLib;
    CLI::App* info = app.add_subcommand("info", "Show the library's version, options, descriptor and catalogue");
    info->add_option("--lib", infoLib, "Component library (default: the one beside this program)");

    const RunCommand run(app);
    const BatchCommand batch(app);
    const AnalysisCommands analysis(app);

    std::string checkLib;
    CLI::App* check = app.add_subcommand("check", "Conformance run of the call protocol against a library");
    check->add_option("--lib", checkLib, "Library to check (default: the one beside this program)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end well; any other fault of the command
        // line is an error like every other (CLI11's own codes are not ours).
        const int code = app.exit(e, out, err);
        return code == 0 ? 0 : 1;
    }
    try {
        if (info->parsed()) return Info(infoLib.empty() ? DefaultLibrary() : std::filesystem::path(infoLib), out, err);
        if (const std::optional<int> code = run.Run(out, err)) return *code;
        if (const std::optional<int> code = batch.Run(std::cin, out)) return *code;
        if (const std::optional<int> code = analysis.Run(out, err)) return *code;
        if (check->parsed())
            return sim::RunConformance(checkLib.empty() ? DefaultLibrary() : std::filesystem::path(checkLib), out) == 0
                       ? 0
                       : 1;
    } catch (const sim::SimError& e) {
        err << "dolvanex-host: " << e.what() << "\n";
        return 1;
    } catch (const std::bad_alloc&) {
        err << "dolvanex-host: out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        err << "dolvanex-host: " << e.what() << "\n";
        return 1;
    }
    return 1;
}

} // namespace dvx::tool

// libFuzzer target of the model reader: a model file, a CSV file that its
// csv waveforms may name ("wave.csv" beside it), and --set changes, read as
// the tool reads them. Every input ends in a model or in a SimError; any
// other exception, a crash, a sanitizer report or a leak is a finding.
//
// Input: the model's JSON, then optionally "\n--csv--\n" and the CSV text,
// then optionally "\n--set--\n" and one PLACE=VALUE per line.
#include "hostsim/sim/model/model.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path& Folder() {
    static const fs::path folder = [] {
        std::string name = (fs::temp_directory_path() / "dvx-model-fuzz-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) std::abort();
        return fs::path(name);
    }();
    return folder;
}

// `text` up to `mark`, which is cut off it with what it marks.
std::string_view Cut(std::string_view& text, std::string_view mark) {
    const size_t at = text.find(mark);
    if (at == std::string_view::npos) return {};
    std::string_view rest = text.substr(at + mark.size());
    text = text.substr(0, at);
    return rest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view sets = Cut(input, "\n--set--\n");
    const std::string_view csv = Cut(input, "\n--csv--\n");
    const fs::path model = Folder() / "model.json";
    std::ofstream(model, std::ios::binary) << input;
    std::ofstream(Folder() / "wave.csv", std::ios::binary) << csv;
    std::vector<dvx::sim::ModelChange> changes;
    while (!sets.empty()) {
        const size_t end = sets.find('\n');
        const std::string_view line = sets.substr(0, end);
        sets = end == std::string_view::npos ? std::string_view() : sets.substr(end + 1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue; // the command line refuses these itself
        changes.push_back({std::string(line.substr(0, eq)), std::string(line.substr(eq + 1))});
    }
    try {
        const dvx::sim::Model m = dvx::sim::LoadModel(model, changes);
        // What a run builds first from a model: every element's outputs.
        for (const dvx::sim::ElementRecord& e : m.elements) {
            std::vector<std::string> names;
            e.unit->OutputNames(names);
        }
    } catch (const dvx::sim::SimError&) {
    }
    return 0;
}

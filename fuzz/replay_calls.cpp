// Replays the call-sequence fuzzer's corpus against a built library, the
// Windows DLL on the emulated CPU among them: every input runs through the
// fuzzer's own actions and checks (call_world.h), and a violated property
// aborts with what broke, after the name of the input that broke it.
//
//     calls_corpus_replay LIBRARY CORPUS_DIR...
#include "fuzz/fuzz_host.h"
#include "fuzz/loaded_component.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY CORPUS_DIR...\n", argv[0]);
        return 2;
    }
    try {
        const dvx::host::ComponentLibrary& library = dvx::fuzz::LoadComponent(argv[1]);
        LLVMFuzzerInitialize(&argc, &argv);
        std::vector<fs::path> inputs;
        for (int i = 2; i < argc; ++i)
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        std::sort(inputs.begin(), inputs.end());
        for (const fs::path& input : inputs) {
            std::ifstream file(input, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            const std::string name = input.string();
            dvx::fuzz::SetInputName(name.c_str());
            if (dvx::fuzz::Tracing()) std::fprintf(stderr, "input %s\n", name.c_str());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        std::printf("%zu inputs replayed against %s (%s): every property held\n", inputs.size(), argv[1],
                    library.Backend().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

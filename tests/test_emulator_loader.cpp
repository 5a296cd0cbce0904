// Loading the product DLL on the emulated CPU as a Windows loader does: its
// headers read and damaged ones refused by what is wrong, its relocations
// applied at any base (the same life at two bases), an import the emulation
// does not provide refused by name, and the backend named where people read
// it. The DLL is the Windows build's (DVX_COMPONENT_DIR).
#include "hostsim/kit/emulated/emulated_library.h"
#include "hostsim/kit/emulated/pe_image.h"
#include "tests/fixture.h"
#include "tests/life_trace.h"
#include "tests/tool_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace dvx::test {
namespace {

namespace fs = std::filesystem;
using host::guest::PeError;
using host::guest::PeImage;

std::vector<uint8_t> Bytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void Set16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

class EmulatedLoader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DVX_COMPONENT_DIR"), nullptr) << "DVX_COMPONENT_DIR names the Windows build";
        dll = host::LibraryBesideProgram("Dolvanex");
        file = Bytes(dll);
        ASSERT_GT(file.size(), 4096u) << dll;
        pe = At32(file, 0x3c);
    }
    // A copy of the DLL with `change` made, in the temporary folder.
    fs::path Changed(const std::string& name, const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> copy = file;
        change(copy);
        const fs::path path = fs::temp_directory_path() / ("dvx-emulated-" + name + ".dll");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(copy.data()),
                                                    static_cast<std::streamsize>(copy.size()));
        made.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const fs::path& path : made) fs::remove(path);
    }

    fs::path dll;
    std::vector<uint8_t> file;
    size_t pe = 0;
    std::vector<fs::path> made;
};

TEST_F(EmulatedLoader, TheDllReadsAsAPe32DllOfTheFiveExportsAndItsImports) {
    const PeImage image(file, "Dolvanex.dll");
    for (const char* name : {"GetVersionNumber", "UDCmodelOpt", "UDMInit", "ListNodeInfo2", "UDMMain"})
        EXPECT_EQ(image.Exports().count(name), 1u) << name;
    EXPECT_EQ(image.Exports().size(), 5u);
    std::set<std::string> dlls;
    for (const auto& import : image.Imports()) dlls.insert(import.dll);
    EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
    EXPECT_TRUE(image.Tls().has_value()) << "the C runtime's thread-storage callbacks";
    EXPECT_EQ(image.PreferredBase() % 0x10000, 0u);
}

// Relocated, every word the relocations name moves by the distance, and
// nothing else does but the header's own record of the base.
TEST_F(EmulatedLoader, RelocationMovesExactlyTheAddressesByTheDistance) {
    const PeImage image(file, "Dolvanex.dll");
    const uint32_t base = image.PreferredBase() + 0x01230000;
    const std::vector<uint8_t> moved = image.LayoutAt(base), original = image.Layout();
    ASSERT_EQ(moved.size(), original.size());
    size_t movedWords = 0;
    for (size_t at = 0; at + 4 <= original.size(); ++at) {
        if (std::memcmp(moved.data() + at, original.data() + at, 4) == 0) continue;
        if (At32(moved, at) - At32(original, at) == 0x01230000) {
            ++movedWords;
            at += 3;
        }
    }
    EXPECT_GT(movedWords, 100u);
    size_t differentBytes = 0;
    for (size_t i = 0; i < original.size(); ++i) differentBytes += moved[i] != original[i];
    EXPECT_LE(differentBytes, 4 * movedWords + 4);
}

// The same whole life of an instance, byte for byte in every block, at the
// preferred base and relocated far from it.
TEST_F(EmulatedLoader, AnInstancesLifeIsTheSameAtAnyBase) {
    host::HostRecorder recorder;
    recorder.Activate();
    // A copy under a name of its own: the same file again would be the
    // module already loaded, as with LoadLibrary.
    host::EmulatedLibrary preferred(dll), moved(Changed("moved", [](std::vector<uint8_t>&) {}), 0x20000000);
    EXPECT_EQ(moved.Base(), 0x20000000u);
    EXPECT_NE(preferred.Base(), moved.Base());
    std::vector<LifeTrace> lives;
    for (const host::ComponentLibrary* library : {static_cast<host::ComponentLibrary*>(&preferred),
                                                  static_cast<host::ComponentLibrary*>(&moved)}) {
        ModelDescriptor descriptor{};
        ASSERT_EQ(library->Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor), 0);
        host::OwnedBlock blocks[4] = {host::OwnedBlock(kInstanceDataSize), host::OwnedBlock(64),
                                      host::OwnedBlock(48), host::OwnedBlock(128)};
        const LifeBlocks life{blocks[0].Handle(), blocks[1].Handle(), blocks[2].Handle(), blocks[3].Handle()};
        for (const char* parameter : {"2.5k", "RATIO,3"}) lives.push_back(RunLife(MainOf(*library), life, {}, parameter, recorder));
    }
    ExpectSameLife(lives[0], lives[2]);
    ExpectSameLife(lives[1], lives[3]);
}

TEST_F(EmulatedLoader, DamagedFilesAreRefusedByWhatIsWrong) {
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&, size_t)> change;
        const char* message;
    } rows[] = {
        {"short", [](std::vector<uint8_t>& b, size_t) { b.resize(40); }, "the file ends inside its DOS header"},
        {"no-mz", [](std::vector<uint8_t>& b, size_t) { b[0] = 'X'; }, "not a PE file (no MZ header)"},
        {"no-pe", [](std::vector<uint8_t>& b, size_t h) { b[h] = 'X'; }, "no PE signature"},
        {"x64", [](std::vector<uint8_t>& b, size_t h) { Set16(b, h + 4, 0x8664); }, "not an i386 image"},
        {"exe", [](std::vector<uint8_t>& b, size_t h) { b[h + 23] &= 0xdf; }, "an executable, not a DLL"},
        {"pe32plus", [](std::vector<uint8_t>& b, size_t h) { Set16(b, h + 24, 0x20b); }, "not a 32-bit (PE32) image"},
        {"no-size", [](std::vector<uint8_t>& b, size_t h) { Set32(b, h + 24 + 56, 0); }, "an image of 0 bytes"},
        {"cut", [](std::vector<uint8_t>& b, size_t) { b.resize(b.size() / 2); }, "the file ends inside its section"},
        {"far-section",
         [](std::vector<uint8_t>& b, size_t h) {
             const size_t table = h + 24 + b[h + 20] + 256 * b[h + 21];
             Set32(b, table + 12, 0x7fff0000); // the first section's RVA
         },
         "lies beyond the image's size"},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> copy = file;
        row.change(copy, pe);
        try {
            PeImage image(copy, row.name);
            ADD_FAILURE() << row.name << ": read";
        } catch (const PeError& e) {
            EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << row.name << ": " << e.what();
        }
    }
}

TEST_F(EmulatedLoader, AnImportTheEmulationDoesNotProvideIsRefusedByName) {
    auto rename = [](const std::string& from, const std::string& to) {
        return [from, to](std::vector<uint8_t>& b) {
            auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
            ASSERT_NE(at, b.end()) << from;
            std::copy(to.begin(), to.end(), at);
        };
    };
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> change;
        const char* message;
    } rows[] = {
        {"function", rename(std::string("GlobalSize\0", 11), std::string("GlobalSizf\0", 11)),
         "it imports what the emulation does not provide: GlobalSizf from KERNEL32.dll"},
        {"dll", rename("msvcrt.dll", "msvcrq.dll"), "malloc from msvcrq.dll"},
    };
    for (const auto& row : rows) {
        const fs::path path = Changed(row.name, row.change);
        try {
            host::EmulatedLibrary library(path);
            ADD_FAILURE() << row.name << ": loaded";
        } catch (const std::runtime_error& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("cannot load the component library " + path.string()), std::string::npos) << text;
            EXPECT_NE(text.find(row.message), std::string::npos) << text;
        }
    }
}

TEST_F(EmulatedLoader, TheSameFileLoadedAgainIsTheModuleAlreadyThere) {
    host::EmulatedLibrary first(dll), second(dll);
    EXPECT_EQ(first.ListNodeInfo(0), second.ListNodeInfo(0)) << "one catalogue record in one process";
    EXPECT_EQ(first.Base(), second.Base());
}

TEST_F(EmulatedLoader, ALibraryWithoutAnExportIsRefusedLikeANativeOne) {
    const fs::path path = host::LibraryBesideProgram("HostsimBrokenNoMain");
    try {
        host::EmulatedLibrary library(path);
        ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "the component library " + path.string() + " lacks the export UDMMain");
    }
}

TEST_F(EmulatedLoader, InfoAndTheSummaryNameTheBackend) {
    const tool::Outcome info = tool::Tool({"info", "--lib", dll.string()});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_TRUE(tool::Has(info.out, "backend            emulated i386 CPU (Unicorn 2.")) << info.out;
    const fs::path model = fs::path(DVX_SOURCE_DIR) / "examples" / "motor-gear" / "model.json";
    const tool::Outcome run = tool::Tool({"run", model.string(), "--lib", dll.string(), "--stop-time", "0.5"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(tool::Has(run.out, "library  " + dll.string() + " (emulated i386 CPU (Unicorn 2.")) << run.out;
    const tool::Outcome native = tool::Tool({"info", "--lib", (host::ProgramDirectory() / "Dolvanex.so").string()});
    EXPECT_TRUE(tool::Has(native.out, "backend            native")) << native.out;
}

} // namespace
} // namespace dvx::test

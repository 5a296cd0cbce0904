// The host's floating-point modes: x87 precision and rounding, flush-to-zero
// and denormals-are-zero in MXCSR, as hosts built with other compilers set
// them. Loading, every call type and unloading leave them as the host set
// them, and set-up reads the same factor, to the bit, in every one of them.
#include "tests/fixture.h"
#include "tests/instance_record.h"
#include "tests/life_trace.h"

#include <cmath>
#include <filesystem>
#include <string>

namespace dvx::test {
namespace {

struct HostModes {
    const char* what;
    uint16_t x87Control;
    uint32_t mxcsr;
};

// MXCSR bits 6 to 15: DAZ, the exception masks, rounding, FTZ. Bits 0 to 5
// are the status flags that arithmetic raises.
constexpr uint32_t kMxcsrControl = 0xFFC0;

const HostModes kFresh = {"as a program starts", 0x037F, 0x1F80};
const HostModes kHostModes[] = {
    kFresh,
    {"x87 precision 53 bits", 0x027F, 0x1F80},
    {"x87 precision 24 bits", 0x007F, 0x1F80},
    {"flush-to-zero", 0x037F, 0x9F80},
    {"denormals-are-zero", 0x037F, 0x1FC0},
    {"flush-to-zero and denormals-are-zero", 0x037F, 0x9FC0},
    {"53 bits, flush-to-zero and denormals-are-zero", 0x027F, 0x9FC0},
    {"rounding toward zero in both units", 0x0F7F, 0x7F80},
};

void SetModes(const HostModes& modes) {
    __asm__ volatile("fldcw %0" : : "m"(modes.x87Control) : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(modes.mxcsr) : "memory");
}

HostModes CurrentModes() {
    HostModes now{"now", 0, 0};
    __asm__ volatile("fnstcw %0" : "=m"(now.x87Control) : : "memory");
    __asm__ volatile("stmxcsr %0" : "=m"(now.mxcsr) : : "memory");
    return now;
}

// Empty when `now` holds the control bits of `set`.
std::string ModesDiffer(const HostModes& set, const HostModes& now) {
    char text[96] = "";
    if (now.x87Control != set.x87Control || (now.mxcsr & kMxcsrControl) != (set.mxcsr & kMxcsrControl))
        snprintf(text, sizeof text, "x87 control %04x, MXCSR %04x; the host set %04x, %04x", now.x87Control,
                 static_cast<unsigned>(now.mxcsr), set.x87Control, static_cast<unsigned>(set.mxcsr));
    return text;
}

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

class HostFpModes : public ComponentTest {
protected:
    void TearDown() override {
        SetModes(kFresh);
        ComponentTest::TearDown();
    }
};

TEST_F(HostFpModes, EveryCallTypeLeavesTheHostsModesAsItSetThem) {
    recorder.onValue = [](const double*, double* value) { *value = 3e-310; };
    for (const HostModes& modes : kHostModes) {
        for (const char* parameter : {"2.5", "1e-309", "RATIO"}) {
            SCOPED_TRACE(std::string(modes.what) + ", K " + parameter);
            std::vector<std::string> changed;
            const MainCall inHostModes = [&](int32_t callType, char* text, double* in, double* out,
                                             uint32_t instanceHandle, uint32_t interfaceHandle) {
                SetModes(modes);
                const int32_t status = lib().Main(callType, text, in, out, instanceHandle, interfaceHandle);
                const HostModes after = CurrentModes();
                SetModes(kFresh);
                const std::string difference = ModesDiffer(modes, after);
                if (!difference.empty()) changed.push_back("call type " + std::to_string(callType) + ": " + difference);
                return status;
            };
            host::OwnedBlock blocks[4] = {host::OwnedBlock(kInstanceDataSize), host::OwnedBlock(64),
                                          host::OwnedBlock(48), host::OwnedBlock(128)};
            const LifeBlocks life{blocks[0].Handle(), blocks[1].Handle(), blocks[2].Handle(), blocks[3].Handle()};
            const LifeTrace trace = RunLife(inHostModes, life, host::BlockLayout{}, parameter, recorder);
            EXPECT_EQ(trace.statuses.front(), kStatusOk);
            EXPECT_TRUE(changed.empty()) << changed.front();
        }
    }
}

// A copy of the library under its own name, so that loading it runs its
// start-up code again rather than finding the library already loaded.
TEST_F(HostFpModes, LoadingAndUnloadingLeaveTheHostsModesAsItSetThem) {
    namespace fs = std::filesystem;
    const fs::path original = host::LibraryBesideProgram("Dolvanex");
    int copyNumber = 0;
    for (const HostModes& modes : kHostModes) {
        SCOPED_TRACE(modes.what);
        const fs::path copy = fs::temp_directory_path() / ("DolvanexModes" + std::to_string(copyNumber++) +
                                                           original.extension().string());
        fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
        HostModes afterLoad{};
        HostModes afterUnload{};
        bool freshLoad = false;
        {
            SetModes(modes);
            const std::unique_ptr<host::ComponentLibrary> loaded = host::LoadComponentLibrary(copy);
            afterLoad = CurrentModes();
            // A library of its own has a catalogue record of its own.
            freshLoad = loaded->ListNodeInfo(0) != lib().ListNodeInfo(0);
            SetModes(modes);
        }
        afterUnload = CurrentModes();
        SetModes(kFresh);
        EXPECT_TRUE(freshLoad) << "the copy was not loaded as a library of its own";
        EXPECT_EQ(ModesDiffer(modes, afterLoad), "") << "after loading";
        EXPECT_EQ(ModesDiffer(modes, afterUnload), "") << "after unloading";
        fs::remove(copy);
    }
}

// Each text's factor as set-up stores it and as call type 6 reads it back,
// in the host's modes; compared with the same in a fresh program's modes.
TEST_F(HostFpModes, SetupReadsTheSameFactorToTheBitInEveryHostMode) {
    const char* const texts[] = {"1e-309",  "-1e-309", "1e-308", "2.2e-308", "22.25e-309", "1E-307", "12",
                                 "3.3K",    "4.7u",    "-7",     "0.05",     "2.5k",       "1e16",   "1E17",
                                 "0",       "-",       "7.77777777777777777777"};
    auto factorIn = [&](const HostModes& modes, const char* text, uint64_t* readBack) {
        auto& instance = NewInstance();
        std::string buffer = text;
        double index = 5.0; // K
        double out = 0.0;
        SetModes(modes);
        const int32_t setup = lib().Main(kCallSetup, buffer.data(), nullptr, nullptr, instance.InstanceHandle(),
                                         instance.InterfaceHandle());
        const int32_t value = lib().Main(kCallOutputValue, nullptr, &index, &out, instance.InstanceHandle(),
                                         instance.InterfaceHandle());
        SetModes(kFresh);
        EXPECT_EQ(setup, kStatusOk);
        EXPECT_EQ(value, kStatusOk);
        *readBack = Bits(out);
        return Bits(ReadInstance(instance).k);
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        uint64_t expectedReadBack = 0;
        const uint64_t expected = factorIn(kFresh, text, &expectedReadBack);
        EXPECT_EQ(expectedReadBack, expected);
        for (const HostModes& modes : kHostModes) {
            SCOPED_TRACE(modes.what);
            uint64_t readBack = 0;
            EXPECT_EQ(factorIn(modes, text, &readBack), expected);
            EXPECT_EQ(readBack, expected);
        }
    }
}

// The regression: with FTZ and DAZ set by the host, these were K = 1.
TEST_F(HostFpModes, DenormalFactorsStayDenormalUnderFlushToZeroAndDenormalsAreZero) {
    for (const char* text : {"1e-309", "1e-308", "-2.2e-308"}) {
        SCOPED_TRACE(text);
        auto& instance = NewInstance();
        std::string buffer = text;
        SetModes({"FTZ and DAZ", 0x027F, 0x9FC0});
        lib().Main(kCallSetup, buffer.data(), nullptr, nullptr, instance.InstanceHandle(), instance.InterfaceHandle());
        SetModes(kFresh);
        const double k = ReadInstance(instance).k;
        EXPECT_EQ(std::fpclassify(k), FP_SUBNORMAL) << k;
        EXPECT_EQ(std::signbit(k), text[0] == '-');
    }
}

} // namespace
} // namespace dvx::test

// Every example with the Windows DLL on the emulated CPU against the native
// library: the same samples to the bit, the same solver work (the component
// computes in SSE2 doubles on both, with the same operations in the same
// order), and the committed reference within its tolerance. The modes and the
// frequency response of the driveline go through the DLL as well. Each case
// prints its row of the table: samples, largest difference, values that
// differ.
#include "hostsim/sim/analyses.h"
#include "tests/run_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>

namespace dvx::sim {
namespace {

using testing::ExampleOptions;
using testing::ExampleTestName;
using testing::kExampleNames;
using testing::kExamples;
using testing::RunQuietly;

std::filesystem::path NativeLibrary() { return host::ProgramDirectory() / "Dolvanex.so"; }
std::filesystem::path Dll() { return host::LibraryBesideProgram("Dolvanex"); }

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class EmulatedExamples : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ASSERT_EQ(Dll().extension(), ".dll") << "DVX_COMPONENT_DIR names the Windows build"; }
};

TEST_P(EmulatedExamples, GiveTheNativeLibrarysResultsBitForBit) {
    const char* example = GetParam();
    RunOptions o = ExampleOptions(example);
    o.library = NativeLibrary();
    const RunResult native = RunQuietly(o);
    o.library = Dll();
    o.reference = kExamples / example / "reference.csv";
    const RunResult emulated = RunQuietly(o);
    EXPECT_EQ(emulated.backend.rfind("emulated i386 CPU", 0), 0u) << emulated.backend;

    ASSERT_EQ(emulated.columns, native.columns);
    ASSERT_EQ(emulated.samples.size(), native.samples.size());
    size_t values = 0, differing = 0;
    double largest = 0.0;
    for (size_t row = 0; row < native.samples.size(); ++row) {
        for (size_t c = 0; c < native.samples[row].size(); ++c) {
            const double a = native.samples[row][c], b = emulated.samples[row][c];
            ++values;
            if (SameBits(a, b)) continue;
            ++differing;
            largest = std::max(largest, std::abs(a - b));
        }
    }
    EXPECT_EQ(differing, 0u) << example << ": largest difference " << largest;
    EXPECT_EQ(emulated.stats.steps, native.stats.steps);
    EXPECT_EQ(emulated.stats.residuals, native.stats.residuals);
    EXPECT_EQ(emulated.stats.stepCalls, native.stats.stepCalls);
    ASSERT_NE(emulated.reference, nullptr);
    for (const ReferenceDeviation& d : emulated.reference->Deviations())
        EXPECT_LE(d.Relative(), 1e-6) << example << " " << d.column << " against reference.csv";
    std::cout << example << ": " << native.samples.size() << " samples of " << native.columns.size()
              << " columns, " << native.stats.stepCalls << " step calls; largest difference " << largest << ", "
              << differing << " of " << values << " values differ\n";
}

INSTANTIATE_TEST_SUITE_P(Examples, EmulatedExamples, ::testing::ValuesIn(kExampleNames), ExampleTestName);

TEST(EmulatedAnalyses, ModesAndResponseOfTheDrivelineAreTheNativeOnes) {
    AnalysisOptions o;
    o.model = kExamples / "driveline-shuffle" / "model.json";
    o.at = 3.5; // in second gear, the clutch stuck: a run to T through the component first
    o.library = NativeLibrary();
    std::ostringstream log;
    const ModesResult native = RunModes(o, log);
    const FrequencyGrid grid{0.5, 20.0, 40};
    const ResponseResult nativeResponse = RunResponse(o, "engine", "halfshaft.torque", grid, log);
    o.library = Dll();
    const ModesResult emulated = RunModes(o, log);
    const ResponseResult emulatedResponse = RunResponse(o, "engine", "halfshaft.torque", grid, log);
    ASSERT_EQ(emulated.set.modes.size(), native.set.modes.size());
    for (size_t k = 0; k < native.set.modes.size(); ++k) {
        EXPECT_TRUE(SameBits(emulated.set.modes[k].naturalHz, native.set.modes[k].naturalHz)) << k;
        EXPECT_TRUE(SameBits(emulated.set.modes[k].dampingRatio, native.set.modes[k].dampingRatio)) << k;
    }
    ASSERT_EQ(emulatedResponse.response.hz.size(), nativeResponse.response.hz.size());
    for (size_t i = 0; i < nativeResponse.response.hz.size(); ++i)
        EXPECT_TRUE(SameBits(emulatedResponse.response.magnitudeDb[i], nativeResponse.response.magnitudeDb[i])) << i;
}

// A batch's way: the DLL loaded once, examples run on it in turn, and the
// first again at the end. The DLL's process-wide state lives on in the
// emulated CPU between the runs; each run must still give, bit for bit,
// what it gives alone (which the examples above hold to the native
// library's results).
TEST(EmulatedBatch, ALibraryLoadedOnceRunsEachExampleAsItRunsAlone) {
    const SharedLibrary loaded = OpenLibrary(Dll());
    for (const char* example : {"motor-gear", "clutch-lockup", "variable-ratio", "brake-stop", "motor-gear"}) {
        RunOptions o = ExampleOptions(example);
        o.library = NativeLibrary();
        const RunResult alone = RunQuietly(o);
        o.library = Dll();
        o.loaded = loaded;
        const RunResult shared = RunQuietly(o);
        ASSERT_EQ(shared.samples.size(), alone.samples.size()) << example;
        size_t differing = 0;
        for (size_t row = 0; row < alone.samples.size(); ++row)
            for (size_t c = 0; c < alone.samples[row].size(); ++c)
                differing += SameBits(alone.samples[row][c], shared.samples[row][c]) ? 0 : 1;
        EXPECT_EQ(differing, 0u) << example;
        EXPECT_EQ(shared.stats.stepCalls, alone.stats.stepCalls) << example;
    }
}

} // namespace
} // namespace dvx::sim

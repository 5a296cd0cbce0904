// Host blocks as a host with global vectors keeps them: instances share
// VectorBlocks and MatrixBlocks at offsets as large as 16 bits reach, and
// the runs are the same as with blocks of their own, every lock given back.
#include "hostsim/kit/block_pool.h"
#include "hostsim/sim/session/session.h"
#include "tests/run_harness.h"

#include <gtest/gtest.h>

#include <set>

namespace dvx::sim {
namespace {

using testing::ExampleOptions;
using testing::ExampleTestName;
using testing::kExampleNames;
using testing::RunQuietly;

TEST(BlockPool, PlacesInstancesApartWithinSixteenBitOffsets) {
    const host::BlockLayout unit = SimulatorLayout(376);
    host::BlockPool pool(unit);
    EXPECT_EQ(pool.PerVectorBlock(), 1365u); // 48 bytes each, the last rhs at 65496
    EXPECT_EQ(pool.PerMatrixBlock(), 256u);  // 256 bytes each, the last values at 65408
    std::set<std::pair<uint32_t, uint32_t>> vectorPlaces, matrixPlaces;
    for (int i = 0; i < 3000; ++i) {
        const host::SharedPlace p = pool.Next();
        EXPECT_LE(p.layout.rhsOffset + 3 * sizeof(double), p.layout.vectorSize) << i;
        EXPECT_LE(p.layout.valuesOffset + kEntryCapacity * sizeof(double), p.layout.matrixSize) << i;
        EXPECT_EQ(p.layout.rhsOffset - p.layout.variablesOffset, unit.rhsOffset - unit.variablesOffset);
        EXPECT_TRUE(vectorPlaces.insert({p.vector, p.layout.variablesOffset}).second) << i;
        EXPECT_TRUE(matrixPlaces.insert({p.matrix, p.layout.valuesOffset}).second) << i;
    }
    EXPECT_EQ(pool.VectorBlocks(), 3u);   // 3000 instances over 1365 a block
    EXPECT_EQ(pool.MatrixBlocks(), 12u);  // and over 256
}

// The component reads and writes at the offsets it is given: shared blocks
// give every example exactly the samples of blocks of its own (the 1000
// gears of gear-chain span four MatrixBlocks).
class SharedBlocks : public ::testing::TestWithParam<const char*> {};

TEST_P(SharedBlocks, RunAsWithBlocksOfTheirOwn) {
    RunOptions o = ExampleOptions(GetParam());
    o.blocks = BlockSharing::Shared;
    const RunResult shared = RunQuietly(o);
    o.blocks = BlockSharing::PerInstance;
    const RunResult own = RunQuietly(o);
    EXPECT_EQ(shared.samples, own.samples);
    EXPECT_EQ(shared.stats.steps, own.stats.steps);
}

INSTANTIATE_TEST_SUITE_P(EveryExample, SharedBlocks, ::testing::ValuesIn(kExampleNames), ExampleTestName);

} // namespace
} // namespace dvx::sim

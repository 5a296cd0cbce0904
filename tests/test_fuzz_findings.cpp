// What the call-sequence fuzzer found, each kept as the smallest host
// behaviour that showed it.
#include "tests/fixture.h"
#include "tests/instance_record.h"

#include "platform/memory.h"

#include <cstddef>

namespace dvx::test {
namespace {

class FuzzFindings : public ComponentTest {};

// A text at a known address that the component never allocated.
char gStrayText[] = "STRAY";

// A fresh InstanceData holds whatever the host's block held. Before any
// set-up, such a record may read as a named K whose name pointer points
// anywhere; layout must not hand that pointer to the host as a name.
TEST_F(FuzzFindings, LayoutBeforeSetupHandsTheHostNoStrayName) {
    auto& instance = NewInstance();
    const uint8_t named = 0;
    char* stray = gStrayText;
    host::WriteAt(instance.InstanceHandle(), offsetof(InstanceData, kIsNumber), named);
    host::WriteAt(instance.InstanceHandle(), offsetof(InstanceData, kName), stray);
    EXPECT_EQ(instance.Layout(), kStatusOk);
    EXPECT_EQ(recorder.CountQueries(kQueryReference), 0u);
    EXPECT_EQ(instance.Step(2, 1, 1), kStatusOk);
    EXPECT_EQ(instance.Release(), kStatusOk);
    EXPECT_STREQ(gStrayText, "STRAY");
}

// The host passes its InterfaceBlock again as the MatrixBlock. Layout's own
// writes then change the offsets it has checked; every offset must be taken
// before anything is written, or a later write lands beyond the block.
TEST_F(FuzzFindings, MatrixBlockThatIsTheInterfaceBlockIsNotWrittenBeyondItsEnd) {
    host::BlockLayout layout;
    layout.interfaceSize = 64;
    layout.columnsOffset = 0;
    layout.rowsOffset = 32; // the rows cover the three offsets at 32 to 37
    layout.valuesOffset = 0;
    auto& instance = NewInstance(layout);
    InterfaceBlock block = instance.ReadInterface();
    block.matrixHandle = instance.InterfaceHandle();
    instance.WriteInterface(block);
    instance.Setup("2");
    EXPECT_EQ(instance.Layout(), kStatusOk);
    // The values, written last at offset 0, fill the whole block.
    const auto bytes = host::ReadAt<std::array<double, 8>>(instance.InterfaceHandle(), 0);
    EXPECT_EQ(bytes, (std::array<double, 8>{1.0, -0.5, -2.0, 1.0, 0.0, 0.0, 0.0, 0.0}));
}

// The same for a step whose VectorBlock and MatrixBlock are the
// InterfaceBlock: the coupling values must not move the right-hand side.
TEST_F(FuzzFindings, VectorBlockThatIsTheInterfaceBlockIsNotWrittenBeyondItsEnd) {
    host::BlockLayout layout;
    layout.interfaceSize = 64;
    auto& instance = NewInstance(layout);
    instance.Setup("2");
    ASSERT_EQ(instance.Layout(), kStatusOk);
    InterfaceBlock block = instance.ReadInterface();
    block.vectorHandle = instance.InterfaceHandle();
    block.matrixHandle = instance.InterfaceHandle();
    block.variablesOffset = 40;
    block.rhsOffset = 40;
    // Coupling position 1 covers bytes 20 to 27: the top of -1/K lands on rhsOffset.
    block.valuesOffset = 12;
    instance.WriteInterface(block);
    const std::array<double, 3> variables{3.0, 1.5, 1.0};
    host::WriteAt(instance.InterfaceHandle(), 40, variables);
    EXPECT_EQ(instance.Call(kCallStep, nullptr, nullptr, nullptr), kStatusOk);
    EXPECT_EQ(ReadInstance(instance).omega1, 3.0);
    EXPECT_EQ((host::ReadAt<std::array<double, 3>>(instance.InterfaceHandle(), 40)),
              (std::array<double, 3>{0.0, 0.0, 0.0}));
}

} // namespace
} // namespace dvx::test

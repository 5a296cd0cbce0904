// The frame of every UDMMain call: handle checks, locking order, statuses,
// and every lock given back on every path.
#include "tests/fixture.h"
#include "tests/instance_record.h"

#include "platform/memory.h"

#include <functional>

namespace dvx::test {
namespace {

using host::BlockLayout;
using host::HostInstance;

struct Blocks {
    std::vector<uint8_t> instance, interfaceBlock, vector, matrix;
    bool operator==(const Blocks&) const = default;
};

Blocks Snapshot(const HostInstance& instance) {
    auto read = [](uint32_t handle) { return handle != 0 ? host::ReadBlock(handle) : std::vector<uint8_t>{}; };
    return {read(instance.InstanceHandle()), read(instance.InterfaceHandle()), read(instance.VectorHandle()),
            read(instance.MatrixHandle())};
}

class Frame : public ComponentTest {};

TEST_F(Frame, MissingMainHandleIsReportedBeforeAnythingIsLocked) {
    auto& instance = NewInstance();
    instance.Setup("2");
    const Blocks before = Snapshot(instance);
    for (int32_t callType : {1, 2, 3, 5, 6, 7}) {
        instance.callInstanceHandle = 0;
        EXPECT_EQ(instance.Call(callType, nullptr, nullptr, nullptr), kStatusMissingHandle);
        instance.callInstanceHandle = instance.InstanceHandle();
        instance.callInterfaceHandle = 0;
        EXPECT_EQ(instance.Call(callType, nullptr, nullptr, nullptr), kStatusMissingHandle);
        instance.callInterfaceHandle = instance.InterfaceHandle();
    }
    EXPECT_EQ(Snapshot(instance), before);
}

TEST_F(Frame, UnlockableMainBlockGivesLockFailureAndUnlocksThePartner) {
    auto& instance = NewInstance();
    host::OwnedBlock gone(64);
    ASSERT_TRUE(host::DiscardBlock(gone.Handle()));
    host::OwnedBlock freed(64);
    const uint32_t stale = freed.Handle();
    freed.Reset();
    for (uint32_t bad : {gone.Handle(), stale, 0x7FFFFFFFu}) {
        instance.callInterfaceHandle = bad;
        EXPECT_EQ(instance.Call(kCallSetup, nullptr, nullptr, nullptr), kStatusLockFailed);
        instance.callInterfaceHandle = instance.InterfaceHandle();
        instance.callInstanceHandle = bad;
        EXPECT_EQ(instance.Call(kCallSetup, nullptr, nullptr, nullptr), kStatusLockFailed);
        instance.callInstanceHandle = instance.InstanceHandle();
    }
}

TEST_F(Frame, CallTypesWithoutWorkChangeNothing) {
    auto& instance = NewInstance();
    instance.Setup("2");
    instance.Layout();
    instance.Step(10, 5, 3);
    const Blocks before = Snapshot(instance);
    for (int32_t callType : {0, 4, 8, -1, 1000, INT32_MIN}) {
        double in = 1.0, out = 42.0;
        char text[] = "K";
        EXPECT_EQ(instance.Call(callType, text, &in, &out), kStatusOk) << callType;
        EXPECT_EQ(out, 42.0);
        EXPECT_STREQ(text, "K");
    }
    EXPECT_EQ(Snapshot(instance), before);
}

// How a further block is spoiled, and the status that follows.
struct FurtherBlockCase {
    const char* what;
    std::function<void(HostInstance&, InterfaceBlock&)> spoil;
    int32_t status;
};

TEST_F(Frame, LayoutAndStepNeedBothFurtherBlocks) {
    const FurtherBlockCase cases[] = {
        {"vector handle zero", [](HostInstance&, InterfaceBlock& b) { b.vectorHandle = 0; }, kStatusMissingHandle},
        {"matrix handle zero", [](HostInstance&, InterfaceBlock& b) { b.matrixHandle = 0; }, kStatusMissingHandle},
        {"both zero", [](HostInstance&, InterfaceBlock& b) { b.vectorHandle = b.matrixHandle = 0; }, kStatusMissingHandle},
        {"vector discarded", [](HostInstance& i, InterfaceBlock&) { host::DiscardBlock(i.VectorHandle()); }, kStatusLockFailed},
        {"matrix discarded", [](HostInstance& i, InterfaceBlock&) { host::DiscardBlock(i.MatrixHandle()); }, kStatusLockFailed},
    };
    for (const auto& c : cases) {
        for (int32_t callType : {kCallLayout, kCallStep}) {
            auto& instance = NewInstance();
            instance.Setup("2");
            instance.SetVariables(10, 5, 3);
            InterfaceBlock block = instance.ReadInterface();
            c.spoil(instance, block);
            instance.WriteInterface(block);
            const InstanceData before = ReadInstance(instance);
            recorder.Clear();
            EXPECT_EQ(instance.Call(callType, nullptr, nullptr, nullptr), c.status) << c.what << " " << callType;
            const InstanceData after = ReadInstance(instance);
            EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << c.what;
            EXPECT_TRUE(recorder.queries.empty()) << c.what;
            if (host::BlockSize(instance.MatrixHandle()) != 0) {
                EXPECT_EQ(instance.Values(), (std::array<double, 8>{})) << c.what;
            }
        }
    }
}

TEST_F(Frame, OutputValueNeedsOnlyALockableVectorBlock) {
    auto& instance = NewInstance();
    instance.Setup("2");
    InterfaceBlock block = instance.ReadInterface();
    block.matrixHandle = 0;
    instance.WriteInterface(block);
    int32_t status = -1;
    EXPECT_EQ(instance.Value(5.0, &status), 2.0);
    EXPECT_EQ(status, kStatusOk);

    block.vectorHandle = 0;
    instance.WriteInterface(block);
    EXPECT_EQ(instance.Value(5.0, &status), -1.0); // out untouched
    EXPECT_EQ(status, kStatusMissingHandle);

    block.vectorHandle = instance.VectorHandle();
    instance.WriteInterface(block);
    host::DiscardBlock(instance.VectorHandle());
    EXPECT_EQ(instance.Value(5.0, &status), -1.0);
    EXPECT_EQ(status, kStatusLockFailed);
}

TEST_F(Frame, LocksTheHostAlreadyHoldsStayHeld) {
    auto& instance = NewInstance();
    for (uint32_t handle : {instance.InstanceHandle(), instance.InterfaceHandle(), instance.VectorHandle(),
                            instance.MatrixHandle()})
        ASSERT_NE(MemLock(handle), nullptr);
    EXPECT_EQ(instance.Setup("2").status, kStatusOk);
    EXPECT_EQ(instance.Layout(), kStatusOk);
    EXPECT_EQ(instance.Step(1, 2, 3), kStatusOk);
    for (uint32_t handle : {instance.InstanceHandle(), instance.InterfaceHandle(), instance.VectorHandle(),
                            instance.MatrixHandle()}) {
        EXPECT_EQ(host::LockCount(handle), 1u);
        MemUnlock(handle);
    }
}

TEST_F(Frame, BlocksTooSmallForTheirLayoutAreNotUsed) {
    BlockLayout small;
    small.instanceSize = 100;
    auto& instance = NewInstance(small);
    EXPECT_EQ(instance.Setup("2").status, kStatusLockFailed);
    BlockLayout tinyInterface;
    tinyInterface.interfaceSize = 16;
    auto& other = NewInstance(tinyInterface);
    EXPECT_EQ(other.Setup("2").status, kStatusLockFailed);
    EXPECT_EQ(other.Call(kCallNothing, nullptr, nullptr, nullptr), kStatusOk);
}

} // namespace
} // namespace dvx::test

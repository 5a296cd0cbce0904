// Allocation failures inside the component, injected through the test build
// of the library: the message is sent, the status stays 0, and the instance
// is left consistent.
#include "tests/fixture.h"

namespace dvx::test {
namespace {

using FailAllocationsFn = void(DVX_CDECL*)(int32_t skip, int32_t count);

class AllocationFailure : public ComponentTest {
protected:
    host::ComponentLibrary& lib() override { return Library("DolvanexFaulty"); }

    void FailAfter(int32_t skip, int32_t count) {
        auto fail = reinterpret_cast<FailAllocationsFn>(lib().OptionalSymbol("DvxFailAllocations"));
        ASSERT_NE(fail, nullptr);
        fail(skip, count);
    }
};

const char kNoMemory[] = "Quorin1: Cannot allocate memory !\n Please check the UDC !";

TEST_F(AllocationFailure, TheProductLibraryHasNoInjectionHook) {
    EXPECT_EQ(Library().OptionalSymbol("DvxFailAllocations"), nullptr);
}

// A set-up makes at most two allocations: the registry of copies and the copy.
TEST_F(AllocationFailure, EachAllocationOfSetupFailingInTurnIsReported) {
    for (int32_t skip = 0; skip < 2; ++skip) {
        auto& instance = NewInstance();
        recorder.Clear();
        FailAfter(skip, 1);
        EXPECT_EQ(instance.Setup("RATIO").status, kStatusOk);
        FailAfter(0, 0);
        const InstanceData data = instance.ReadInstance();
        if (recorder.messages.empty()) continue; // this allocation was not needed
        ASSERT_EQ(recorder.messages.size(), 1u);
        EXPECT_EQ(recorder.messages[0].severity, 3);
        EXPECT_EQ(recorder.messages[0].text, kNoMemory);
        EXPECT_EQ(data.kIsNumber, 0);
        EXPECT_EQ(data.kName, nullptr);
        EXPECT_EQ(data.k, 1.0);
        // The instance goes on: layout asks nothing about a name it lacks.
        recorder.Clear();
        EXPECT_EQ(instance.Layout(), kStatusOk);
        EXPECT_EQ(instance.Step(2, 2, 1), kStatusOk);
        EXPECT_EQ(recorder.CountQueries(kQueryReference), 0u);
        EXPECT_EQ(instance.ReadInstance().m2, 1.0);
        EXPECT_EQ(instance.Release(), kStatusOk);
    }
}

TEST_F(AllocationFailure, FirstAllocationFailureAlwaysReachesTheMessage) {
    auto& instance = NewInstance();
    FailAfter(0, 100);
    instance.Setup("RATIO");
    FailAfter(0, 0);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, kNoMemory);
    // A later set-up of the same instance succeeds normally.
    recorder.Clear();
    instance.Setup("RATIO");
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_STREQ(instance.ReadInstance().kName, "RATIO");
}

TEST_F(AllocationFailure, NumericFactorNeedsNoAllocation) {
    auto& instance = NewInstance();
    FailAfter(0, 100);
    instance.Setup("2.5k");
    FailAfter(0, 0);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(instance.ReadInstance().k, 2500.0);
}

} // namespace
} // namespace dvx::test

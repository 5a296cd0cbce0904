// What a host reads before any instance exists: version, options, the
// descriptor, the callbacks it registers, and the catalogue.
#include "tests/fixture.h"

#include <cstring>

namespace dvx::test {
namespace {

using host::HostRecorder;

TEST(Boundary, VersionAndOptionsAreFixedBeforeAndAfterInit) {
    auto& lib = Library();
    EXPECT_EQ(lib.GetVersionNumber(), 2);
    EXPECT_EQ(lib.ModelOptions(), 9);
    HostRecorder recorder;
    recorder.Activate();
    ModelDescriptor descriptor{};
    ASSERT_EQ(lib.Init(&HostRecorder::Message, &HostRecorder::Query, &descriptor), 0);
    EXPECT_EQ(lib.GetVersionNumber(), 2);
    EXPECT_EQ(lib.ModelOptions(), 9);
}

TEST(Boundary, InitWritesTheDescriptorEveryTime) {
    auto& lib = Library();
    for (int round = 0; round < 2; ++round) {
        ModelDescriptor descriptor{0xFFFF, 0xFFFF, 0xFFFF};
        ASSERT_EQ(lib.Init(&HostRecorder::Message, &HostRecorder::Query, &descriptor), 0);
        EXPECT_EQ(descriptor.fixedFirst, 2);
        EXPECT_EQ(descriptor.instanceSize, 376);
        EXPECT_EQ(descriptor.fixedThird, 0);
    }
}

TEST(Boundary, InitWithNullDescriptorStillRegistersCallbacks) {
    auto& lib = Library();
    EXPECT_EQ(lib.Init(&HostRecorder::Message, &HostRecorder::Query, nullptr), 0);
}

// Messages go to the callbacks registered last; the first recorder hears
// nothing after the second UDMInit.
int32_t DVX_CDECL CountingMessage(int32_t, const char*) {
    static int32_t calls = 0;
    return ++calls;
}
int gSecondMessages = 0;
int32_t DVX_CDECL SecondMessage(int32_t, const char*) {
    ++gSecondMessages;
    return 0;
}

TEST(Boundary, SecondInitReplacesTheCallbacks) {
    auto& lib = Library();
    HostRecorder recorder;
    recorder.Activate();
    ModelDescriptor descriptor{};
    lib.Init(&CountingMessage, &HostRecorder::Query, &descriptor);
    lib.Init(&SecondMessage, &HostRecorder::Query, &descriptor);
    host::HostInstance instance(lib);
    gSecondMessages = 0;
    instance.Setup("2,3");
    EXPECT_EQ(gSecondMessages, 1);
    EXPECT_TRUE(recorder.messages.empty());
    instance.Release();
    EXPECT_TRUE(instance.lockViolations.empty());
}

struct CatalogueRow {
    int32_t index;
    const char* name;
    int32_t kind;
    const char* description;
};

const CatalogueRow kCatalogue[] = {
    {0, "ROT1", 1, "Predecessor node"},
    {1, "ROT2", 1, "Successor node"},
    {2, "K", 2, "Coordinate transf fact = mSuc/mPre = omgPre/omgSuc"},
    {3, "M1", 3, "Torque [Nm] supplied by predecessor"},
    {4, "M2", 3, "Torque [Nm] supplied to successor"},
    {5, "OMEGA1", 3, "Predecessor angular velocity [rad/s]"},
    {6, "OMEGA2", 3, "Successor angular velocity [rad/s]"},
    {7, "K", 3, "Coordinate transf fact = mSuc/mPre = omgPre/omgSuc"},
};

TEST(Catalogue, EntriesInCatalogueOrder) {
    auto& lib = Library();
    for (const CatalogueRow& row : kCatalogue) {
        const NodeInfo* info = lib.ListNodeInfo(row.index);
        ASSERT_NE(info, nullptr) << row.index;
        EXPECT_STREQ(info->name, row.name) << row.index;
        EXPECT_EQ(info->kind, row.kind) << row.index;
        EXPECT_STREQ(info->description, row.description) << row.index;
        if (row.kind == 1) {
            EXPECT_STREQ(info->nature, "ROTATIONAL_V");
        }
        if (row.kind == 2) {
            EXPECT_STREQ(info->defaultValue, "1");
        }
    }
}

TEST(Catalogue, EveryIndexOutsideZeroToSevenIsNullAndLeavesTheRecord) {
    auto& lib = Library();
    const NodeInfo* info = lib.ListNodeInfo(5);
    ASSERT_NE(info, nullptr);
    const NodeInfo before = *info;
    for (int32_t index : {8, 9, -1, -8, 1000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(lib.ListNodeInfo(index), nullptr) << index;
        EXPECT_EQ(std::memcmp(info, &before, sizeof before), 0) << index;
    }
}

TEST(Catalogue, FieldsOfOtherKindsKeepWhatEarlierCallsLeft) {
    auto& lib = Library();
    lib.ListNodeInfo(0);
    const NodeInfo* info = lib.ListNodeInfo(2);
    EXPECT_STREQ(info->nature, "ROTATIONAL_V"); // left by index 0
    info = lib.ListNodeInfo(3);
    EXPECT_STREQ(info->defaultValue, "1");      // left by index 2
    EXPECT_EQ(info->kind, 3);
}

TEST(Catalogue, EveryCallReturnsTheSameRecord) {
    auto& lib = Library();
    const NodeInfo* first = lib.ListNodeInfo(0);
    EXPECT_EQ(lib.ListNodeInfo(7), first);
    EXPECT_EQ(static_cast<const void*>(first), static_cast<const void*>(first->name));
}

TEST(Catalogue, EveryTextFitsItsFieldWithItsTerminator) {
    auto& lib = Library();
    for (int32_t index = 0; index < 8; ++index) {
        const NodeInfo* info = lib.ListNodeInfo(index);
        EXPECT_LT(strnlen(info->name, sizeof info->name), sizeof info->name);
        EXPECT_LT(strnlen(info->description, sizeof info->description), sizeof info->description);
        EXPECT_LT(strnlen(info->nature, sizeof info->nature), sizeof info->nature);
    }
}

} // namespace
} // namespace dvx::test

namespace dvx::test {
namespace {

// A host that drives an instance without registered callbacks (UDMInit never
// called, or called with null callbacks) gets its statuses, not a crash:
// messages are dropped and requests fail.
TEST(Boundary, CallsWithoutCallbacksDoNotCrash) {
    auto& lib = Library();
    ModelDescriptor descriptor{};
    ASSERT_EQ(lib.Init(nullptr, nullptr, &descriptor), 0);
    host::HostInstance named(lib);
    EXPECT_EQ(named.Setup("RATIO,2").status, kStatusOk);
    EXPECT_EQ(named.Layout(), kStatusOk);
    EXPECT_EQ(named.Step(2, 1, 1), kStatusOk);
    EXPECT_EQ(named.Value(5.0), 1.0); // the unanswered value request leaves K at 1
    EXPECT_EQ(named.Release(), kStatusOk);
    host::HostInstance numeric(lib);
    EXPECT_EQ(numeric.Setup("4").status, kStatusOk);
    EXPECT_EQ(numeric.Layout(), kStatusOk);
    EXPECT_EQ(numeric.Step(8, 2, 1), kStatusOk);
    EXPECT_EQ(numeric.Value(2.0), 4.0);
    EXPECT_TRUE(named.lockViolations.empty());
    EXPECT_TRUE(numeric.lockViolations.empty());
}

} // namespace
} // namespace dvx::test

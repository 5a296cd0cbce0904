// The movable-handle semantics that the component and the hosts rely on.
// The same suite runs against our Linux layer and, under Wine, against
// kernel32 itself, so the two cannot drift apart.
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

HGLOBAL Alloc(size_t bytes) { return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes); }

unsigned Count(HGLOBAL h) { return GlobalFlags(h) & GMEM_LOCKCOUNT; }

TEST(MemoryHandles, HandlesAreThirtyTwoBitValuesThatLockToZeroedBlocks) {
    HGLOBAL h = Alloc(100);
    ASSERT_NE(FromHGlobal(h), 0u);
    EXPECT_EQ(ToHGlobal(FromHGlobal(h)), h);
    EXPECT_GE(GlobalSize(h), 100u);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), HGLOBAL{});
}

TEST(MemoryHandles, LockCountRisesAndFallsWithEachLock) {
    HGLOBAL h = Alloc(16);
    EXPECT_EQ(Count(h), 0u);
    void* first = GlobalLock(h);
    void* second = GlobalLock(h);
    EXPECT_EQ(first, second);
    EXPECT_EQ(Count(h), 2u);
    EXPECT_NE(GlobalUnlock(h), 0); // still locked
    EXPECT_EQ(Count(h), 1u);
    EXPECT_EQ(GlobalUnlock(h), 0); // now unlocked
    EXPECT_EQ(Count(h), 0u);
    EXPECT_EQ(GlobalUnlock(h), 0); // unlocking an unlocked block changes nothing
    EXPECT_EQ(Count(h), 0u);
    GlobalFree(h);
}

TEST(MemoryHandles, ContentSurvivesBetweenLocks) {
    HGLOBAL h = Alloc(8);
    std::memcpy(GlobalLock(h), "abcdefg", 8);
    GlobalUnlock(h);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(h)), "abcdefg");
    GlobalUnlock(h);
    GlobalFree(h);
}

TEST(MemoryHandles, DiscardedBlockKeepsItsHandleButLocksToNull) {
    HGLOBAL h = Alloc(32);
    ASSERT_EQ(GlobalReAlloc(h, 0, GMEM_MOVEABLE), h);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_NE(GlobalFlags(h) & GMEM_DISCARDED, 0u);
    EXPECT_EQ(Count(h), 0u);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GlobalFree(h), HGLOBAL{});
}

TEST(MemoryHandles, ZeroHandleLocksToNull) {
    EXPECT_EQ(GlobalLock(ToHGlobal(0)), nullptr);
    EXPECT_EQ(GlobalSize(ToHGlobal(0)), 0u);
}

TEST(MemoryHandles, FreedHandleLocksToNull) {
    HGLOBAL h = Alloc(32);
    GlobalFree(h);
    EXPECT_EQ(GlobalLock(h), nullptr);
}

TEST(MemoryHandles, ManyBlocksHaveDistinctHandlesAndAddresses) {
    std::vector<HGLOBAL> handles;
    std::vector<void*> addresses;
    for (int i = 0; i < 5000; ++i) {
        handles.push_back(Alloc(24));
        ASSERT_NE(FromHGlobal(handles.back()), 0u);
    }
    for (HGLOBAL h : handles) addresses.push_back(GlobalLock(h));
    std::sort(addresses.begin(), addresses.end());
    EXPECT_EQ(std::adjacent_find(addresses.begin(), addresses.end()), addresses.end());
    for (HGLOBAL h : handles) {
        GlobalUnlock(h);
        GlobalFree(h);
    }
}

} // namespace

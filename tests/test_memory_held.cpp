// The lock path of the component's call frame, MemLockHeld and MemUnlockHeld:
// one lookup gives the address, the size and a record that the unlock uses
// instead of a second lookup. It must agree with GlobalLock, GlobalSize and
// the lock counts, on our layer and, under Wine, on kernel32.
#include "platform/memory.h"
#include "tests/unsized_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

HGLOBAL Alloc(size_t bytes) { return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes); }

unsigned Count(HGLOBAL h) { return GlobalFlags(h) & GMEM_LOCKCOUNT; }

TEST(HeldLocks, LockGivesAddressAndSizeOfTheBlockAndRaisesItsCountByOne) {
    for (const size_t bytes : {size_t{1}, size_t{38}, size_t{376}}) {
        SCOPED_TRACE(bytes);
        const HGLOBAL h = Alloc(bytes);
        size_t size = 0;
        MemHeld held;
        void* data = MemLockHeld(FromHGlobal(h), &size, &held);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Count(h), 1u);
        EXPECT_EQ(size, GlobalSize(h));
        EXPECT_GE(size, bytes);
        EXPECT_EQ(GlobalLock(h), data);
        GlobalUnlock(h);
        MemUnlockHeld(&held);
        EXPECT_EQ(Count(h), 0u);
        GlobalFree(h);
    }
}

TEST(HeldLocks, UnusableHandlesLockToNullWithSizeZero) {
    const HGLOBAL freed = Alloc(16);
    GlobalFree(freed);
    const HGLOBAL discarded = Alloc(16);
    ASSERT_EQ(GlobalReAlloc(discarded, 0, GMEM_MOVEABLE), discarded);
    const struct {
        const char* what;
        uint32_t handle;
    } cases[] = {{"zero", 0}, {"freed", FromHGlobal(freed)}, {"discarded", FromHGlobal(discarded)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        size_t size = 99;
        MemHeld held;
        EXPECT_EQ(MemLockHeld(c.handle, &size, &held), nullptr);
        EXPECT_EQ(size, 0u);
    }
    EXPECT_EQ(Count(discarded), 0u);
    GlobalFree(discarded);
}

// The call frame takes the layout a host declares only where the size truly
// cannot be read: a block the platform allocated always reads its own size,
// however small it is (on Windows fixed blocks too, whose handles are
// pointers like a host's own memory).
TEST(HeldLocks, BlocksOfThePlatformNeverHaveAnUnknownSize) {
    const struct {
        const char* what;
        unsigned flags;
        size_t bytes;
    } cases[] = {{"fixed, no bytes", GMEM_FIXED, 0}, {"fixed", GMEM_FIXED, 16}, {"movable", GMEM_MOVEABLE, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HGLOBAL h = GlobalAlloc(c.flags, c.bytes);
        ASSERT_NE(h, HGLOBAL{});
        size_t size = 99;
        MemHeld held;
        if (MemLockHeld(FromHGlobal(h), &size, &held) != nullptr) {
            EXPECT_NE(size, kMemSizeUnknown);
            EXPECT_EQ(size, GlobalSize(h));
            MemUnlockHeld(&held);
        } else {
            EXPECT_EQ(size, 0u);
        }
        GlobalFree(h);
    }
}

TEST(HeldLocks, BlockWhoseSizeCannotBeReadLocksWithItsSizeUnknown) {
    const uint32_t h = dvx::test::AllocUnsizedBlock(64);
    EXPECT_EQ(GlobalSize(ToHGlobal(h)), 0u);
    size_t size = 0;
    MemHeld held;
    auto* data = static_cast<unsigned char*>(MemLockHeld(h, &size, &held));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, kMemSizeUnknown);
    data[63] = 5;
    EXPECT_EQ(static_cast<unsigned char*>(MemLock(h))[63], 5);
    MemUnlock(h);
    MemUnlockHeld(&held);
    EXPECT_EQ(Count(ToHGlobal(h)), 0u);
    dvx::test::FreeUnsizedBlock(h);
}

// A host may pass one block under two handles' roles (the same handle as
// InstanceData and InterfaceBlock): each held lock counts once.
TEST(HeldLocks, TheSameBlockLockedTwiceIsUnlockedTwice) {
    const HGLOBAL h = Alloc(64);
    size_t first = 0;
    size_t second = 0;
    MemHeld outer;
    MemHeld inner;
    void* a = MemLockHeld(FromHGlobal(h), &first, &outer);
    void* b = MemLockHeld(FromHGlobal(h), &second, &inner);
    EXPECT_EQ(a, b);
    EXPECT_EQ(Count(h), 2u);
    MemUnlockHeld(&inner);
    EXPECT_EQ(Count(h), 1u);
    MemUnlockHeld(&outer);
    EXPECT_EQ(Count(h), 0u);
    GlobalFree(h);
}

#if !defined(_WIN32)
// The unlock goes straight to the slot it remembered. If the host freed the
// block meanwhile and the slot went to a new block, that block's lock count
// is not the held lock's to lower.
TEST(HeldLocks, UnlockAfterTheSlotWentToAnotherBlockLeavesThatBlockAlone) {
    const HGLOBAL old = Alloc(16);
    size_t size = 0;
    MemHeld held;
    ASSERT_NE(MemLockHeld(old, &size, &held), nullptr);
    GlobalFree(old);
    const HGLOBAL reused = Alloc(16);
    ASSERT_EQ(reused & dvx::memory::kIndexMask, old & dvx::memory::kIndexMask) << "the freed slot was not reused";
    ASSERT_NE(reused, old);
    ASSERT_NE(GlobalLock(reused), nullptr);
    MemUnlockHeld(&held);
    EXPECT_EQ(Count(reused), 1u);
    GlobalUnlock(reused);
    GlobalFree(reused);
}

// When every slot is taken, GlobalAlloc fails with 0 (and hands out no
// handle twice); a freed slot serves again.
TEST(HeldLocks, FullTableRefusesAllocationUntilABlockIsFreed) {
    std::vector<HGLOBAL> handles;
    handles.reserve(dvx::memory::kSlotCount);
    for (;;) {
        const HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 0); // no bytes: only a slot
        if (h == 0) break;
        handles.push_back(h);
        ASSERT_LE(handles.size(), size_t{dvx::memory::kIndexMask}) << "more handles than slots";
    }
    EXPECT_GT(handles.size(), size_t{dvx::memory::kIndexMask} - 100) << "the table filled up early";
    std::vector<uint32_t> indices;
    for (const HGLOBAL h : handles) indices.push_back(h & dvx::memory::kIndexMask);
    std::sort(indices.begin(), indices.end());
    EXPECT_EQ(std::adjacent_find(indices.begin(), indices.end()), indices.end()) << "a slot was handed out twice";
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16), HGLOBAL{});

    ASSERT_EQ(GlobalFree(handles.back()), HGLOBAL{});
    handles.pop_back();
    const HGLOBAL again = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16);
    ASSERT_NE(again, HGLOBAL{});
    EXPECT_NE(GlobalLock(again), nullptr);
    GlobalUnlock(again);
    handles.push_back(again);
    for (const HGLOBAL h : handles) ASSERT_EQ(GlobalFree(h), HGLOBAL{});
}

TEST(HeldLocks, UnlockAfterTheBlockWasFreedChangesNothing) {
    const HGLOBAL h = Alloc(16);
    size_t size = 0;
    MemHeld held;
    ASSERT_NE(MemLockHeld(h, &size, &held), nullptr);
    GlobalFree(h);
    MemUnlockHeld(&held);
    EXPECT_EQ(GlobalFlags(h), static_cast<unsigned>(GMEM_INVALID_HANDLE));
}
#endif

} // namespace

// The movable-handle semantics that the component and the hosts rely on.
// The same suite runs against our Linux layer and, under Wine, against
// kernel32 itself, so the two cannot drift apart.
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#if !defined(_WIN32)
#include <fstream>
#include <sstream>
#include <string>
#endif

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

// The count stops at 255; unlocks then bring it down one by one and stop at
// zero.
TEST(MemoryHandles, LockCountSaturatesAt255AndUnlocksStopAtZero) {
    HGLOBAL h = Alloc(16);
    for (int i = 0; i < 300; ++i) ASSERT_NE(GlobalLock(h), nullptr) << i;
    EXPECT_EQ(Count(h), 255u);
    EXPECT_NE(GlobalUnlock(h), 0);
    EXPECT_EQ(Count(h), 254u);
    EXPECT_NE(GlobalLock(h), nullptr);
    EXPECT_EQ(Count(h), 255u);
    for (int i = 0; i < 254; ++i) ASSERT_NE(GlobalUnlock(h), 0) << i;
    EXPECT_EQ(GlobalUnlock(h), 0);
    EXPECT_EQ(Count(h), 0u);
    EXPECT_EQ(GlobalUnlock(h), 0);
    EXPECT_EQ(Count(h), 0u);
    EXPECT_NE(GlobalLock(h), nullptr);
    EXPECT_EQ(Count(h), 1u);
    GlobalUnlock(h);
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

#if !defined(_WIN32)
// Every 32-bit value names a slot of our table; only the handle a block was
// given opens it. (kernel32 takes some such values for fixed-block pointers,
// so this is ours alone.)
TEST(MemoryHandles, ValuesThatAreNotTheBlocksHandleNameNothing) {
    const HGLOBAL h = Alloc(16);
    const uint32_t index = h & dvx::memory::kIndexMask;
    const uint32_t generation = h >> dvx::memory::kIndexBits;
    const struct {
        const char* what;
        uint32_t value;
    } cases[] = {
        {"other generation", ((generation + 1) << dvx::memory::kIndexBits) | index},
        {"generation zero", index},
        {"zero", 0},
        {"slot never used", (1u << dvx::memory::kIndexBits) | (dvx::memory::kIndexMask - 1)},
        {"last slot", 0xFFFFFFFFu},
        {"slot zero", generation << dvx::memory::kIndexBits},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(GlobalLock(c.value), nullptr);
        EXPECT_EQ(GlobalUnlock(c.value), 0);
        EXPECT_EQ(GlobalSize(c.value), 0u);
        EXPECT_EQ(GlobalFlags(c.value), static_cast<unsigned>(GMEM_INVALID_HANDLE));
        EXPECT_EQ(GlobalReAlloc(c.value, 8, GMEM_MOVEABLE), HGLOBAL{});
        EXPECT_EQ(GlobalFree(c.value), c.value);
    }
    EXPECT_EQ(Count(h), 0u);
    EXPECT_EQ(GlobalSize(h), 16u);
    GlobalFree(h);
}

// Resident kilobytes of the mappings that overlap [begin, end), from
// /proc/self/smaps.
long ResidentKilobytes(uintptr_t begin, uintptr_t end) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool overlaps = false;
    long kilobytes = 0;
    while (std::getline(smaps, line)) {
        unsigned long low = 0;
        unsigned long high = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> low >> dash >> high && dash == '-') {
            overlaps = low < end && begin < high;
        } else if (overlaps && line.rfind("Rss:", 0) == 0) {
            kilobytes += std::stol(line.substr(4));
        }
    }
    return kilobytes;
}

// The slot table spans 32 MiB of address space; only the pages of slots in
// use may be resident, or every host and component would carry all of it.
// (A program that named the table directly once got a copy of all of it.)
TEST(MemoryHandles, SlotTableTakesMemoryOnlyForSlotsInUse) {
    const auto begin = reinterpret_cast<uintptr_t>(&dvx::memory::gSlots[0]);
    const auto end = reinterpret_cast<uintptr_t>(&dvx::memory::gSlots[dvx::memory::kSlotCount]);
    std::vector<HGLOBAL> handles;
    for (int i = 0; i < 1000; ++i) handles.push_back(Alloc(8));
    // A thousand slots are 32 KiB; the mappings around them add little.
    EXPECT_LT(ResidentKilobytes(begin, end), 1024);
    for (HGLOBAL h : handles) GlobalFree(h);
}

TEST(MemoryHandles, ZeroByteBlockHasAHandleButNeverLocks) {
    const HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 0);
    ASSERT_NE(h, HGLOBAL{});
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(Count(h), 0u);
    ASSERT_EQ(GlobalReAlloc(h, 8, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
    const auto* p = static_cast<const unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0] | p[7], 0);
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), HGLOBAL{});
}

// The test benches' block: its size is not kept, everything else is as for
// any block. Having no size, it cannot be resized or discarded.
TEST(MemoryHandles, UnsizedBlockLocksLikeAnyOtherButItsSizeReadsZero) {
    EXPECT_EQ(DvxGlobalAllocUnsized(GMEM_ZEROINIT, 0), HGLOBAL{}) << "a block of no bytes would never lock";
    const HGLOBAL h = DvxGlobalAllocUnsized(GMEM_ZEROINIT, 40);
    ASSERT_NE(h, HGLOBAL{});
    EXPECT_EQ(GlobalSize(h), 0u);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0] | p[39], 0);
    p[39] = 7;
    EXPECT_EQ(GlobalLock(h), p);
    EXPECT_EQ(Count(h), 2u);
    GlobalUnlock(h);
    GlobalUnlock(h);
    EXPECT_EQ(Count(h), 0u);
    EXPECT_EQ(GlobalReAlloc(h, 80, GMEM_MOVEABLE), HGLOBAL{});
    EXPECT_EQ(GlobalReAlloc(h, 0, GMEM_MOVEABLE), HGLOBAL{});
    EXPECT_EQ(static_cast<unsigned char*>(GlobalLock(h))[39], 7);
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), HGLOBAL{});
    EXPECT_EQ(GlobalLock(h), nullptr);
}

// A host's allocator over one buffer, as an emulated CPU's shared window is:
// it hands out zeroed 64-byte cells and counts what it holds.
struct CellArena {
    static constexpr size_t kCells = 8, kCell = 64;
    alignas(16) unsigned char bytes[kCells * kCell] = {};
    bool used[kCells] = {};
    int held = 0;
    bool Owns(const void* p) const { return p >= bytes && p < bytes + sizeof bytes; }

    static void* Allocate(void* context, size_t size) {
        auto* self = static_cast<CellArena*>(context);
        for (size_t i = 0; size <= kCell && i < kCells; ++i) {
            if (self->used[i]) continue;
            self->used[i] = true;
            ++self->held;
            std::memset(self->bytes + i * kCell, 0, kCell);
            return self->bytes + i * kCell;
        }
        return nullptr;
    }
    static void Release(void* context, void* data) {
        auto* self = static_cast<CellArena*>(context);
        const size_t i = static_cast<size_t>(static_cast<unsigned char*>(data) - self->bytes) / kCell;
        ASSERT_TRUE(self->used[i]) << "a cell given back twice";
        self->used[i] = false;
        --self->held;
    }
};

TEST(MemoryHandles, BlocksTakeTheirBytesFromTheHostsAllocatorAndGiveThemBackThere) {
    CellArena arena;
    const DvxBlockAllocator allocator{&CellArena::Allocate, &CellArena::Release, &arena};
    const HGLOBAL before = Alloc(16); // from the C heap
    ASSERT_EQ(DvxGlobalSetAllocator(&allocator), 1);
    const HGLOBAL inArena = Alloc(40);
    const HGLOBAL unsized = DvxGlobalAllocUnsized(GMEM_ZEROINIT, 8);
    EXPECT_EQ(Alloc(65), HGLOBAL{}) << "the allocator's failure is GlobalAlloc's";
    EXPECT_TRUE(arena.Owns(GlobalLock(inArena)));
    EXPECT_TRUE(arena.Owns(GlobalLock(unsized)));
    static_cast<unsigned char*>(GlobalLock(inArena))[39] = 9;
    for (int i = 0; i < 3; ++i) GlobalUnlock(inArena);
    GlobalUnlock(unsized);
    EXPECT_EQ(arena.held, 2);

    // Resized, the block moves to a new cell with its bytes.
    ASSERT_EQ(GlobalReAlloc(inArena, 60, GMEM_MOVEABLE | GMEM_ZEROINIT), inArena);
    auto* moved = static_cast<unsigned char*>(GlobalLock(inArena));
    EXPECT_TRUE(arena.Owns(moved));
    EXPECT_EQ(moved[39], 9);
    GlobalUnlock(inArena);
    EXPECT_EQ(arena.held, 2);

    // Back to the C heap: new blocks come from it, old ones still go back
    // to the arena, and the block from before never reaches it.
    ASSERT_EQ(DvxGlobalSetAllocator(nullptr), 1);
    const HGLOBAL after = Alloc(16);
    EXPECT_FALSE(arena.Owns(GlobalLock(after)));
    GlobalUnlock(after);
    for (HGLOBAL h : {before, after}) EXPECT_EQ(GlobalFree(h), HGLOBAL{});
    EXPECT_EQ(arena.held, 2);
    EXPECT_EQ(GlobalFree(inArena), HGLOBAL{});
    EXPECT_EQ(GlobalFree(unsized), HGLOBAL{});
    EXPECT_EQ(arena.held, 0);
}
#endif

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

// The Linux stand-in for kernel32's movable memory handles.
//
// Slots live in fixed chunks that never move, so GlobalLock and GlobalUnlock
// find a block without taking a mutex: the host calls them for every block on
// every step. The lookup itself is inline in memory.h, so that the component
// runs it without a call into this library. Allocation and freeing are
// serialised. As with the host's own
// contract, one block is locked and unlocked from one thread at a time.
#include "platform/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace dvx::memory {

std::atomic<Slot*> gChunks[kMaxChunks];
std::atomic<uint32_t> gSlotCount{0};

} // namespace dvx::memory

namespace {

using dvx::memory::FindSlot;
using dvx::memory::gChunks;
using dvx::memory::gSlotCount;
using dvx::memory::kChunkSlots;
using dvx::memory::kIndexBits;
using dvx::memory::kIndexMask;
using dvx::memory::Slot;

std::mutex gAllocMutex;
std::vector<uint32_t> gFreeSlots;

uint32_t MakeHandle(uint32_t index, const Slot& slot) {
    return (static_cast<uint32_t>(slot.generation) << kIndexBits) | (index + 1);
}

// Caller holds gAllocMutex. Returns false when the table is full.
bool TakeSlot(uint32_t* index) {
    if (!gFreeSlots.empty()) {
        *index = gFreeSlots.back();
        gFreeSlots.pop_back();
        return true;
    }
    const uint32_t next = gSlotCount.load(std::memory_order_relaxed);
    if (next >= kIndexMask) return false;
    if (next % kChunkSlots == 0) {
        Slot* chunk = new (std::nothrow) Slot[kChunkSlots]();
        if (chunk == nullptr) return false;
        // Generation 0 is never used, so that a handle's top byte is never 0.
        for (uint32_t i = 0; i < kChunkSlots; ++i) chunk[i].generation = 1;
        gChunks[next / kChunkSlots].store(chunk, std::memory_order_release);
    }
    gSlotCount.store(next + 1, std::memory_order_release);
    *index = next;
    return true;
}

Slot& SlotAt(uint32_t index) {
    return gChunks[index / kChunkSlots].load(std::memory_order_acquire)[index % kChunkSlots];
}

void* AllocateBytes(size_t bytes, bool zero) {
    // malloc(0) may give null; keep a real address so that such a block is
    // still distinguishable from a failed allocation.
    void* data = zero ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
    return data;
}

} // namespace

extern "C" {

HGLOBAL GlobalAlloc(unsigned flags, size_t bytes) {
    void* data = AllocateBytes(bytes, (flags & GMEM_ZEROINIT) != 0);
    if (data == nullptr) return 0;
    std::lock_guard<std::mutex> guard(gAllocMutex);
    uint32_t index = 0;
    if (!TakeSlot(&index)) {
        std::free(data);
        return 0;
    }
    Slot& slot = SlotAt(index);
    slot.data = data;
    slot.size = bytes;
    slot.lockCount = 0;
    slot.state = dvx::memory::kSlotLive;
    return MakeHandle(index, slot);
}

void* GlobalLock(HGLOBAL handle) { return dvx::memory::LockSlot(FindSlot(handle)); }

int GlobalUnlock(HGLOBAL handle) { return dvx::memory::UnlockSlot(FindSlot(handle)); }

HGLOBAL GlobalFree(HGLOBAL handle) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    Slot* slot = FindSlot(handle);
    if (slot == nullptr) return handle;
    std::free(slot->data);
    slot->data = nullptr;
    slot->size = 0;
    slot->lockCount = 0;
    slot->state = dvx::memory::kSlotFree;
    slot->generation = static_cast<uint8_t>(slot->generation + 1);
    if (slot->generation == 0) slot->generation = 1;
    gFreeSlots.push_back((handle & kIndexMask) - 1);
    return 0;
}

unsigned GlobalFlags(HGLOBAL handle) {
    Slot* slot = FindSlot(handle);
    if (slot == nullptr) return GMEM_INVALID_HANDLE;
    unsigned flags = slot->lockCount & GMEM_LOCKCOUNT;
    if (slot->state == dvx::memory::kSlotDiscarded) flags |= GMEM_DISCARDED;
    return flags;
}

size_t GlobalSize(HGLOBAL handle) { return dvx::memory::SlotSize(FindSlot(handle)); }

HGLOBAL GlobalReAlloc(HGLOBAL handle, size_t bytes, unsigned flags) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    Slot* slot = FindSlot(handle);
    if (slot == nullptr || slot->lockCount != 0) return 0;
    if (bytes == 0 && (flags & GMEM_MOVEABLE) != 0) {
        std::free(slot->data);
        slot->data = nullptr;
        slot->size = 0;
        slot->state = dvx::memory::kSlotDiscarded;
        return handle;
    }
    void* data = AllocateBytes(bytes, false);
    if (data == nullptr) return 0;
    const size_t kept = slot->state == dvx::memory::kSlotLive ? (bytes < slot->size ? bytes : slot->size) : 0;
    if (kept != 0) std::memcpy(data, slot->data, kept);
    if ((flags & GMEM_ZEROINIT) != 0 && bytes > kept)
        std::memset(static_cast<char*>(data) + kept, 0, bytes - kept);
    std::free(slot->data);
    slot->data = data;
    slot->size = bytes;
    slot->state = dvx::memory::kSlotLive;
    return handle;
}

} // extern "C"

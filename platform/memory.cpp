// The Linux stand-in for kernel32's movable memory handles.
//
// Every handle names its slot directly, so GlobalLock and GlobalUnlock find a
// block without a mutex and with one access to the table: the host calls them
// for every block on every step. The lookup itself is
// inline in memory.h, so that the component runs it without a call into this
// library. Allocation, freeing and resizing are serialised. As with the
// host's own contract, one block is locked and unlocked from one thread at a
// time.
#include "platform/memory.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace dvx::memory {

namespace {
// Zero-filled by the loader: no code at load time may write the table, or
// every one of its pages would be mapped.
Slot gTable[kSlotCount];
} // namespace

Slot* const gSlots = gTable;

} // namespace dvx::memory

namespace {

using dvx::memory::FindSlot;
using dvx::memory::kIndexBits;
using dvx::memory::kIndexMask;
using dvx::memory::LockCountOf;
using dvx::memory::Slot;

std::mutex gAllocMutex;
std::vector<uint32_t> gFreeSlots;
uint32_t gNextSlot = 1; // slot 0 is never used: handle 0 must name nothing

// The allocators a host gave (DvxGlobalSetAllocator) and the one in use;
// source 0 is the C heap. A slot keeps the number of its bytes' source.
constexpr uint8_t kMaxAllocators = 4;
DvxBlockAllocator gAllocators[kMaxAllocators + 1];
uint8_t gAllocatorCount = 0;
uint8_t gCurrentSource = 0;

// Caller holds gAllocMutex. Returns false when every slot is taken (or the
// free list cannot grow).
bool TakeSlot(uint32_t* index) {
    if (!gFreeSlots.empty()) {
        *index = gFreeSlots.back();
        gFreeSlots.pop_back();
        return true;
    }
    if (gNextSlot > kIndexMask) return false;
    *index = gNextSlot++;
    return true;
}

// The block's bytes from the current source; null for zero bytes (such a
// block never locks) or when the allocation fails. A host's allocator always
// clears them.
void* AllocateBytes(size_t bytes, bool zero) {
    if (bytes == 0) return nullptr;
    if (gCurrentSource != 0) {
        const DvxBlockAllocator& a = gAllocators[gCurrentSource];
        return a.allocate(a.context, bytes);
    }
    return zero ? std::calloc(bytes, 1) : std::malloc(bytes);
}

void FreeBytes(uint8_t source, void* data) {
    if (data == nullptr) return;
    if (source == 0) {
        std::free(data);
        return;
    }
    const DvxBlockAllocator& a = gAllocators[source];
    a.release(a.context, data);
}

void ReleaseBytes(Slot* slot) {
    FreeBytes(slot->source, slot->data);
    slot->data = nullptr;
    slot->size = 0;
}

// A new block holding `data` (from the current source), with `size` as
// GlobalSize reads it; 0 when every slot is taken (the bytes are then
// freed). Caller holds gAllocMutex.
HGLOBAL PlaceBlock(void* data, size_t size) {
    uint32_t index = 0;
    if (!TakeSlot(&index)) {
        FreeBytes(gCurrentSource, data);
        return 0;
    }
    Slot& slot = dvx::memory::gSlots[index];
    // Generation 0 is never used, so that a handle's top bits are never 0.
    if (slot.generation == 0) slot.generation = 1;
    slot.data = data;
    slot.size = size;
    slot.source = gCurrentSource;
    slot.locks = 0;
    slot.unlocks = 0;
    slot.discarded = 0;
    const uint32_t handle = (static_cast<uint32_t>(slot.generation) << kIndexBits) | index;
    std::atomic_ref<uint32_t>(slot.handle).store(handle, std::memory_order_release);
    return handle;
}

} // namespace

extern "C" {

HGLOBAL GlobalAlloc(unsigned flags, size_t bytes) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    void* data = AllocateBytes(bytes, (flags & GMEM_ZEROINIT) != 0);
    if (data == nullptr && bytes != 0) return 0;
    return PlaceBlock(data, bytes);
}

HGLOBAL DvxGlobalAllocUnsized(unsigned flags, size_t bytes) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    void* data = AllocateBytes(bytes, (flags & GMEM_ZEROINIT) != 0);
    if (data == nullptr) return 0;
    return PlaceBlock(data, 0);
}

int DvxGlobalSetAllocator(const DvxBlockAllocator* allocator) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    if (allocator == nullptr) {
        gCurrentSource = 0;
        return 1;
    }
    for (uint8_t i = 1; i <= gAllocatorCount; ++i) {
        const DvxBlockAllocator& known = gAllocators[i];
        if (known.allocate == allocator->allocate && known.release == allocator->release &&
            known.context == allocator->context) {
            gCurrentSource = i;
            return 1;
        }
    }
    if (gAllocatorCount == kMaxAllocators) return 0;
    gAllocators[++gAllocatorCount] = *allocator;
    gCurrentSource = gAllocatorCount;
    return 1;
}

void* GlobalLock(HGLOBAL handle) { return dvx::memory::LockSlot(FindSlot(handle)); }

int GlobalUnlock(HGLOBAL handle) { return dvx::memory::UnlockSlot(FindSlot(handle)); }

HGLOBAL GlobalFree(HGLOBAL handle) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    Slot* slot = FindSlot(handle);
    if (slot == nullptr) return handle;
    // The free list must be able to take the slot back before it is emptied.
    try {
        gFreeSlots.push_back(handle & kIndexMask);
    } catch (const std::bad_alloc&) {
        return handle;
    }
    std::atomic_ref<uint32_t>(slot->handle).store(0, std::memory_order_release);
    ReleaseBytes(slot);
    slot->locks = 0;
    slot->unlocks = 0;
    slot->discarded = 0;
    slot->generation = static_cast<uint16_t>((slot->generation + 1) & dvx::memory::kGenerationMask);
    if (slot->generation == 0) slot->generation = 1;
    return 0;
}

unsigned GlobalFlags(HGLOBAL handle) {
    const Slot* slot = FindSlot(handle);
    if (slot == nullptr) return GMEM_INVALID_HANDLE;
    unsigned flags = LockCountOf(slot) & GMEM_LOCKCOUNT;
    if (slot->discarded != 0) flags |= GMEM_DISCARDED;
    return flags;
}

size_t GlobalSize(HGLOBAL handle) { return dvx::memory::SlotSize(FindSlot(handle)); }

HGLOBAL GlobalReAlloc(HGLOBAL handle, size_t bytes, unsigned flags) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    Slot* slot = FindSlot(handle);
    if (slot == nullptr || LockCountOf(slot) != 0) return 0;
    // A block whose size is not kept cannot say how much of it to keep.
    if (slot->data != nullptr && slot->size == 0) return 0;
    if (bytes == 0 && (flags & GMEM_MOVEABLE) != 0) {
        ReleaseBytes(slot);
        slot->discarded = 1;
        return handle;
    }
    void* data = AllocateBytes(bytes, false);
    if (data == nullptr && bytes != 0) return 0;
    const size_t kept = bytes < slot->size ? bytes : slot->size;
    if (kept != 0) std::memcpy(data, slot->data, kept);
    if ((flags & GMEM_ZEROINIT) != 0 && bytes > kept)
        std::memset(static_cast<char*>(data) + kept, 0, bytes - kept);
    FreeBytes(slot->source, slot->data);
    slot->source = gCurrentSource;
    slot->data = data;
    slot->size = bytes;
    slot->discarded = 0;
    return handle;
}

} // extern "C"

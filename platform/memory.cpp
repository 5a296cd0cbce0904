// The Linux stand-in for kernel32's movable memory handles.
//
// Slots live in fixed chunks that never move, so GlobalLock and GlobalUnlock
// find a block without taking a mutex: the host calls them for every block on
// every step. Allocation and freeing are serialised. As with the host's own
// contract, one block is locked and unlocked from one thread at a time.
#include "platform/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

enum class SlotState : uint8_t { Free, Live, Discarded };

struct Slot {
    void* data = nullptr;
    size_t size = 0;
    uint32_t lockCount = 0;
    uint8_t generation = 1;
    SlotState state = SlotState::Free;
};

// A handle is (generation << 24) | (index + 1): never zero, never a pointer,
// and a freed handle goes stale when its slot is reused.
constexpr uint32_t kIndexBits = 24;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kChunkSlots = 4096;
constexpr uint32_t kMaxChunks = (kIndexMask + 1) / kChunkSlots;

std::atomic<Slot*> gChunks[kMaxChunks];
std::atomic<uint32_t> gSlotCount{0};
std::mutex gAllocMutex;
std::vector<uint32_t> gFreeSlots;

Slot* FindSlot(HGLOBAL handle) {
    const uint32_t low = handle & kIndexMask;
    if (low == 0) return nullptr;
    const uint32_t index = low - 1;
    if (index >= gSlotCount.load(std::memory_order_acquire)) return nullptr;
    Slot* chunk = gChunks[index / kChunkSlots].load(std::memory_order_acquire);
    Slot* slot = &chunk[index % kChunkSlots];
    if (slot->state == SlotState::Free || slot->generation != (handle >> kIndexBits)) return nullptr;
    return slot;
}

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
        Slot* chunk = new (std::nothrow) Slot[kChunkSlots];
        if (chunk == nullptr) return false;
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
    slot.state = SlotState::Live;
    return MakeHandle(index, slot);
}

void* GlobalLock(HGLOBAL handle) {
    Slot* slot = FindSlot(handle);
    if (slot == nullptr || slot->state != SlotState::Live || slot->size == 0) return nullptr;
    if (slot->lockCount < GMEM_LOCKCOUNT) ++slot->lockCount;
    return slot->data;
}

int GlobalUnlock(HGLOBAL handle) {
    Slot* slot = FindSlot(handle);
    if (slot == nullptr || slot->lockCount == 0) return 0;
    --slot->lockCount;
    return slot->lockCount != 0;
}

HGLOBAL GlobalFree(HGLOBAL handle) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    Slot* slot = FindSlot(handle);
    if (slot == nullptr) return handle;
    std::free(slot->data);
    slot->data = nullptr;
    slot->size = 0;
    slot->lockCount = 0;
    slot->state = SlotState::Free;
    slot->generation = static_cast<uint8_t>(slot->generation + 1);
    if (slot->generation == 0) slot->generation = 1;
    gFreeSlots.push_back((handle & kIndexMask) - 1);
    return 0;
}

unsigned GlobalFlags(HGLOBAL handle) {
    Slot* slot = FindSlot(handle);
    if (slot == nullptr) return GMEM_INVALID_HANDLE;
    unsigned flags = slot->lockCount & GMEM_LOCKCOUNT;
    if (slot->state == SlotState::Discarded) flags |= GMEM_DISCARDED;
    return flags;
}

size_t GlobalSize(HGLOBAL handle) {
    Slot* slot = FindSlot(handle);
    if (slot == nullptr || slot->state != SlotState::Live) return 0;
    return slot->size;
}

HGLOBAL GlobalReAlloc(HGLOBAL handle, size_t bytes, unsigned flags) {
    std::lock_guard<std::mutex> guard(gAllocMutex);
    Slot* slot = FindSlot(handle);
    if (slot == nullptr || slot->lockCount != 0) return 0;
    if (bytes == 0 && (flags & GMEM_MOVEABLE) != 0) {
        std::free(slot->data);
        slot->data = nullptr;
        slot->size = 0;
        slot->state = SlotState::Discarded;
        return handle;
    }
    void* data = AllocateBytes(bytes, false);
    if (data == nullptr) return 0;
    const size_t kept = slot->state == SlotState::Live ? (bytes < slot->size ? bytes : slot->size) : 0;
    if (kept != 0) std::memcpy(data, slot->data, kept);
    if ((flags & GMEM_ZEROINIT) != 0 && bytes > kept)
        std::memset(static_cast<char*>(data) + kept, 0, bytes - kept);
    std::free(slot->data);
    slot->data = data;
    slot->size = bytes;
    slot->state = SlotState::Live;
    return handle;
}

} // extern "C"

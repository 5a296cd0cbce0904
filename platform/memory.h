// Movable memory handles as the host hands them over: a 32-bit handle, a lock
// that pins the block and yields a pointer (or null), an unlock that gives it
// back, and a lock count per block.
//
// On Windows these are kernel32's Global* functions. On Linux the same names
// come from our own small shared library (dolvanex-memory), which the
// component and every host link against so that they share one handle table.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else

#if defined(DVX_MEMORY_BUILD)
#define DVX_MEMORY_API __attribute__((visibility("default")))
#else
#define DVX_MEMORY_API
#endif

extern "C" {
typedef uint32_t HGLOBAL;

enum : unsigned {
    GMEM_FIXED = 0x0000,
    GMEM_MOVEABLE = 0x0002,
    GMEM_ZEROINIT = 0x0040,
    GMEM_LOCKCOUNT = 0x00FF,
    GMEM_DISCARDED = 0x4000,
    GMEM_INVALID_HANDLE = 0x8000
};

// Allocates a block of `bytes` (GMEM_ZEROINIT clears it). Returns 0 when the
// allocation fails. Every block is movable: it is reached only through
// GlobalLock.
DVX_MEMORY_API HGLOBAL GlobalAlloc(unsigned flags, size_t bytes);
// Pins the block and returns its address, raising the lock count; null for a
// zero, freed, stale or discarded handle and for a block of zero bytes.
DVX_MEMORY_API void* GlobalLock(HGLOBAL handle);
// Lowers the lock count. Returns non-zero while the block stays locked.
DVX_MEMORY_API int GlobalUnlock(HGLOBAL handle);
// Frees the block; returns 0 on success and the handle itself on failure.
DVX_MEMORY_API HGLOBAL GlobalFree(HGLOBAL handle);
// Lock count in the low byte, GMEM_DISCARDED for a discarded block,
// GMEM_INVALID_HANDLE for a handle that names no block.
DVX_MEMORY_API unsigned GlobalFlags(HGLOBAL handle);
// Size in bytes; 0 for an invalid or discarded handle.
DVX_MEMORY_API size_t GlobalSize(HGLOBAL handle);
// With bytes 0 and GMEM_MOVEABLE, discards an unlocked block: the handle stays
// valid but locks to null. Otherwise resizes an unlocked block. Returns the
// handle, or 0 on failure (always for a block of unknown size).
DVX_MEMORY_API HGLOBAL GlobalReAlloc(HGLOBAL handle, size_t bytes, unsigned flags);

// For test benches: a block of `bytes` (at least 1) that locks, unlocks and
// frees like any other, but whose size is not kept: GlobalSize reads 0. It
// stands for a platform that provides GlobalLock and GlobalUnlock only, as on
// Windows a host's own memory passed as a fixed handle does. Returns 0 when
// the allocation fails.
DVX_MEMORY_API HGLOBAL DvxGlobalAllocUnsized(unsigned flags, size_t bytes);

// Where the bytes of blocks come from: the C heap, unless a host gives the
// layer an allocator of its own, whose memory some other address space sees
// as well (an emulated CPU's, so that host and library share the bytes).
// `allocate` returns `bytes` zeroed bytes or null; `release` takes back what
// it gave. Blocks allocated (or resized) from then on take their bytes from
// it, and every block gives its bytes back to where they came from. Null
// goes back to the C heap. Returns 0 when the layer already knows as many
// allocators as it can tell apart (four).
typedef struct DvxBlockAllocator {
    void* (*allocate)(void* context, size_t bytes);
    void (*release)(void* context, void* data);
    void* context;
} DvxBlockAllocator;
DVX_MEMORY_API int DvxGlobalSetAllocator(const DvxBlockAllocator* allocator);
}
#endif

// The size MemLockHeld gives for a block that locks but whose size cannot be
// read: its user takes the layout that the host declares.
constexpr size_t kMemSizeUnknown = SIZE_MAX;

// The same operations on the 32-bit handle values that travel in the host's
// records, for both platforms.
inline HGLOBAL ToHGlobal(uint32_t handle) {
#if defined(_WIN32)
    return reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(handle));
#else
    return handle;
#endif
}

inline uint32_t FromHGlobal(HGLOBAL handle) {
#if defined(_WIN32)
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
#else
    return handle;
#endif
}

#if defined(_WIN32)

inline void* MemLock(uint32_t handle) { return GlobalLock(ToHGlobal(handle)); }
inline void MemUnlock(uint32_t handle) { GlobalUnlock(ToHGlobal(handle)); }
inline size_t MemSize(uint32_t handle) { return GlobalSize(ToHGlobal(handle)); }

// A lock taken by MemLockHeld, to be given back by MemUnlockHeld.
typedef struct MemHeld {
    uint32_t handle;
} MemHeld;

// The size of a block that has locked. kernel32 locks a fixed handle that is
// a pointer to memory it did not allocate (a host's own heap, static or
// virtual memory) and gives the pointer back, but GlobalSize cannot read the
// size of such memory: it returns 0 and sets the last error. A block of its
// own reads its size, so only then is the size unknown. The check runs only
// when the size reads 0.
inline size_t LockedBlockSize(HGLOBAL handle) {
    const size_t size = GlobalSize(handle);
    if (size != 0) return size;
    SetLastError(ERROR_SUCCESS);
    if (GlobalSize(handle) == 0 && GetLastError() != ERROR_SUCCESS) return kMemSizeUnknown;
    return 0;
}

// GlobalLock, with the block's size in *size: 0 when the lock fails,
// kMemSizeUnknown when the block locks but its size cannot be read.
inline void* MemLockHeld(uint32_t handle, size_t* size, MemHeld* held) {
    held->handle = handle;
    void* data = GlobalLock(ToHGlobal(handle));
    *size = data != nullptr ? LockedBlockSize(ToHGlobal(handle)) : 0;
    return data;
}

inline void MemUnlockHeld(const MemHeld* held) { GlobalUnlock(ToHGlobal(held->handle)); }

#else

#include <atomic>
#include <type_traits>

// The layer's handle table. It is visible here so that a module which locks
// blocks on every step (the component) can inline the lookup instead of
// calling into the layer several times per step; GlobalLock, GlobalUnlock and
// GlobalSize run the very same lookup. Only the layer allocates, frees and
// resizes blocks.
namespace dvx::memory {

// A handle is (generation << 20) | index, index in [1, 2^20): never zero,
// never a pointer, and a freed handle goes stale when its slot is reused.
constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kSlotCount = kIndexMask + 1;
constexpr uint32_t kGenerationMask = (1u << (32 - kIndexBits)) - 1;

// One slot per possible index, in a table that is never allocated or moved:
// it lies in zero-filled pages that the system maps only where slots are
// used (32 bytes each, 32 MiB of address space). So every 32-bit value names
// some slot, and the handle stored in the slot is the whole check: a zero,
// freed or stale handle does not match it.
//
// The lock count is kept as two counters, locks taken and locks given back
// (count = locks - unlocks). A lock and the unlock after it then each change
// their own word, instead of the unlock waiting for the lock's store to the
// same word on every call.
struct alignas(32) Slot {
    // Plain members, no initialisers: the table is then zero-filled by the
    // loader with no code run over it, and stays in untouched pages. The
    // handle is read and written as an atomic through std::atomic_ref.
    uint32_t handle;     // the handle naming this block; 0 while free
    uint32_t locks;
    uint32_t unlocks;
    uint16_t generation; // of the next or current handle; 0 until first use
    uint8_t discarded;
    uint8_t source;      // where the bytes came from: 0 the C heap, n the n-th allocator
    void* data;          // null while free, discarded or zero bytes long
    size_t size;         // 0 as well for a block whose size is not kept
};
static_assert(sizeof(Slot) == 32, "a slot is half a cache line");
static_assert(std::is_trivially_default_constructible_v<Slot>, "the table needs no code at load time");

inline uint32_t HandleOf(Slot* slot) {
    return std::atomic_ref<uint32_t>(slot->handle).load(std::memory_order_acquire);
}

// The table, reached through a pointer: a program that used the table itself
// directly would get its own copy of it at load time, and copying 32 MiB
// would make every page of it resident.
extern DVX_MEMORY_API Slot* const gSlots;

// The slot a handle names, or null for zero, freed and stale handles.
inline Slot* FindSlot(uint32_t handle) {
    Slot* slot = &gSlots[handle & kIndexMask];
    if (handle == 0 || HandleOf(slot) != handle) return nullptr;
    return slot;
}

inline uint32_t LockCountOf(const Slot* slot) { return slot->locks - slot->unlocks; }

// GlobalLock's work: null for a handle that names no block of at least one
// byte; otherwise raises the lock count (saturating at 255, as kernel32
// does) and returns the address.
inline void* LockSlot(Slot* slot) {
    if (slot == nullptr || slot->data == nullptr) return nullptr;
    if (LockCountOf(slot) < GMEM_LOCKCOUNT) ++slot->locks;
    return slot->data;
}

// GlobalUnlock's work: non-zero while the block stays locked.
inline int UnlockSlot(Slot* slot) {
    if (slot == nullptr || LockCountOf(slot) == 0) return 0;
    ++slot->unlocks;
    return LockCountOf(slot) != 0;
}

inline size_t SlotSize(const Slot* slot) { return slot == nullptr ? 0 : slot->size; }

// The size of a block that has locked: a block of zero bytes never locks, so
// a size of 0 here is a block whose size is not kept (DvxGlobalAllocUnsized).
inline size_t LockedSlotSize(const Slot* slot) { return slot->size != 0 ? slot->size : kMemSizeUnknown; }

} // namespace dvx::memory

inline void* MemLock(uint32_t handle) { return dvx::memory::LockSlot(dvx::memory::FindSlot(handle)); }
inline void MemUnlock(uint32_t handle) { dvx::memory::UnlockSlot(dvx::memory::FindSlot(handle)); }
inline size_t MemSize(uint32_t handle) { return dvx::memory::SlotSize(dvx::memory::FindSlot(handle)); }

// A lock taken by MemLockHeld: the slot it found, so that MemUnlockHeld needs
// no second lookup, and the handle, which it checks again.
typedef struct MemHeld {
    dvx::memory::Slot* slot;
    uint32_t handle;
} MemHeld;

// GlobalLock, with the block's size in *size (0 when the lock fails,
// kMemSizeUnknown when the block locks but its size is not kept), in one
// lookup.
inline void* MemLockHeld(uint32_t handle, size_t* size, MemHeld* held) {
    dvx::memory::Slot* slot = dvx::memory::FindSlot(handle);
    held->slot = slot;
    held->handle = handle;
    void* data = dvx::memory::LockSlot(slot);
    *size = data != nullptr ? dvx::memory::LockedSlotSize(slot) : 0;
    return data;
}

// GlobalUnlock of a handle locked by MemLockHeld. If the block was freed
// meanwhile, the slot no longer holds the handle and, as GlobalUnlock on a
// stale handle, this changes nothing (not even the lock count of a new block
// in the same slot).
inline void MemUnlockHeld(const MemHeld* held) {
    dvx::memory::Slot* slot = held->slot;
    if (slot == nullptr || dvx::memory::HandleOf(slot) != held->handle) return;
    dvx::memory::UnlockSlot(slot);
}

#endif

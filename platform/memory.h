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
// handle, or 0 on failure.
DVX_MEMORY_API HGLOBAL GlobalReAlloc(HGLOBAL handle, size_t bytes, unsigned flags);
}
#endif

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

inline void* MemLock(uint32_t handle) { return GlobalLock(ToHGlobal(handle)); }
inline void MemUnlock(uint32_t handle) { GlobalUnlock(ToHGlobal(handle)); }
inline size_t MemSize(uint32_t handle) { return GlobalSize(ToHGlobal(handle)); }

// Blocks that lock and unlock but whose size cannot be read, as a host or test
// bench on a platform that provides only GlobalLock and GlobalUnlock hands
// them over. On Linux the memory layer makes them for tests; on Windows they
// are what kernel32 really does with a host's own memory passed as a fixed
// handle (a pointer): GlobalLock gives the pointer back, GlobalSize reads 0
// and sets the last error.
#pragma once

#include "platform/memory.h"

#include <cstddef>
#include <cstdint>
#include <new>

namespace dvx::test {

#if defined(_WIN32)
// A private heap: memory that is certainly not the process heap's, which
// GlobalSize could measure.
inline HANDLE UnsizedHeap() {
    static const HANDLE heap = HeapCreate(0, 0, 0);
    return heap;
}

inline uint32_t AllocUnsizedBlock(size_t bytes) {
    void* data = HeapAlloc(UnsizedHeap(), HEAP_ZERO_MEMORY, bytes);
    if (data == nullptr) throw std::bad_alloc();
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
}

inline void FreeUnsizedBlock(uint32_t handle) {
    HeapFree(UnsizedHeap(), 0, reinterpret_cast<void*>(static_cast<uintptr_t>(handle)));
}
#else
inline uint32_t AllocUnsizedBlock(size_t bytes) {
    const HGLOBAL handle = DvxGlobalAllocUnsized(GMEM_ZEROINIT, bytes);
    if (handle == 0) throw std::bad_alloc();
    return handle;
}

inline void FreeUnsizedBlock(uint32_t handle) { GlobalFree(handle); }
#endif

} // namespace dvx::test

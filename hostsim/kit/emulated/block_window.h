// The host's memory blocks as emulated libraries see them: one window of
// host memory, mapped into every emulated CPU at the same guest address,
// from which the memory-handle layer takes the bytes of every block once an
// emulated library is loaded. Host and library then share the bytes: the
// host writes through its pointer, the library through the guest address
// that its GlobalLock returns.
#pragma once

#include "hostsim/kit/emulated/range_heap.h"

#include <cstddef>
#include <cstdint>

namespace dvx::host::guest {

class BlockWindow {
public:
    // The process's window; the first call reserves it and makes it the
    // memory layer's source of block bytes. It lives as long as the process.
    static BlockWindow& Instance();

    void* Host() const { return host_; }
    uint32_t Size() const { return size_; }
    // The guest address of `bytes` of a block at `host`, or 0 when they do
    // not lie in the window (a block allocated before the window existed).
    uint32_t GuestOf(const void* host, size_t bytes) const;

private:
    BlockWindow();
    static void* Allocate(void* context, size_t bytes);
    static void Release(void* context, void* data);

    uint8_t* host_ = nullptr;
    uint32_t size_ = 0;
    RangeHeap heap_;
};

} // namespace dvx::host::guest

#include "hostsim/kit/emulated/block_window.h"

#include "hostsim/kit/emulated/machine.h"
#include "platform/memory.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

namespace dvx::host::guest {

BlockWindow& BlockWindow::Instance() {
    // Never destroyed: blocks may be freed by other static objects at exit.
    static BlockWindow* const window = new BlockWindow();
    return *window;
}

// 512 MiB: room for the blocks of a million instances; pages are taken only
// where blocks lie.
BlockWindow::BlockWindow() : size_(layout::kWindowSize), heap_(layout::kWindow, layout::kWindowSize) {
    void* reserved = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) throw std::bad_alloc();
    host_ = static_cast<uint8_t*>(reserved);
    const DvxBlockAllocator allocator{&BlockWindow::Allocate, &BlockWindow::Release, this};
    if (DvxGlobalSetAllocator(&allocator) == 0) throw std::bad_alloc();
}

uint32_t BlockWindow::GuestOf(const void* host, size_t bytes) const {
    const auto* p = static_cast<const uint8_t*>(host);
    if (p < host_ || p >= host_ + size_ || bytes > static_cast<size_t>(host_ + size_ - p)) return 0;
    return layout::kWindow + static_cast<uint32_t>(p - host_);
}

// The memory layer calls these under its own lock.
void* BlockWindow::Allocate(void* context, size_t bytes) {
    auto* self = static_cast<BlockWindow*>(context);
    if (bytes > self->size_) return nullptr;
    const uint32_t guest = self->heap_.Allocate(static_cast<uint32_t>(bytes));
    if (guest == 0) return nullptr;
    uint8_t* data = self->host_ + (guest - layout::kWindow);
    std::memset(data, 0, bytes);
    return data;
}

void BlockWindow::Release(void* context, void* data) {
    auto* self = static_cast<BlockWindow*>(context);
    self->heap_.Release(layout::kWindow + static_cast<uint32_t>(static_cast<uint8_t*>(data) - self->host_));
}

} // namespace dvx::host::guest

#include "hostsim/kit/blocks.h"

#include "platform/memory.h"

#include <new>

namespace dvx::host {

uint32_t AllocateBlock(size_t bytes) {
    const HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (handle == 0) throw std::bad_alloc();
    return FromHGlobal(handle);
}

void FreeBlock(uint32_t handle) {
    if (handle != 0) GlobalFree(ToHGlobal(handle));
}

unsigned LockCount(uint32_t handle) {
    if (handle == 0) return 0;
    const unsigned flags = GlobalFlags(ToHGlobal(handle));
    if (flags == GMEM_INVALID_HANDLE) return 0;
    return flags & GMEM_LOCKCOUNT;
}

bool DiscardBlock(uint32_t handle) {
    return GlobalReAlloc(ToHGlobal(handle), 0, GMEM_MOVEABLE) != 0;
}

size_t BlockSize(uint32_t handle) { return handle == 0 ? 0 : MemSize(handle); }

std::vector<uint8_t> ReadBlock(uint32_t handle) {
    const auto* data = static_cast<const uint8_t*>(MemLock(handle));
    if (data == nullptr) throw std::runtime_error("block does not lock");
    std::vector<uint8_t> bytes(data, data + MemSize(handle));
    MemUnlock(handle);
    return bytes;
}

void WriteBlockBytes(uint32_t handle, size_t offset, const void* bytes, size_t count) {
    auto* data = static_cast<uint8_t*>(MemLock(handle));
    if (data == nullptr) throw std::runtime_error("block does not lock");
    if (offset + count > MemSize(handle)) {
        MemUnlock(handle);
        throw std::out_of_range("write beyond the block");
    }
    std::memcpy(data + offset, bytes, count);
    MemUnlock(handle);
}

void ReadBlockBytes(uint32_t handle, size_t offset, void* bytes, size_t count) {
    const auto* data = static_cast<const uint8_t*>(MemLock(handle));
    if (data == nullptr) throw std::runtime_error("block does not lock");
    if (offset + count > MemSize(handle)) {
        MemUnlock(handle);
        throw std::out_of_range("read beyond the block");
    }
    std::memcpy(bytes, data + offset, count);
    MemUnlock(handle);
}

} // namespace dvx::host

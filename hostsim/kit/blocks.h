// Host-side memory blocks: allocation, lock counts and byte access through
// the platform's movable handles (kernel32 on Windows, our layer on Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace dvx::host {

// Allocates a zeroed movable block; throws std::bad_alloc when it cannot.
uint32_t AllocateBlock(size_t bytes);
void FreeBlock(uint32_t handle);
// The block's lock count (0 for a zero or invalid handle).
unsigned LockCount(uint32_t handle);
// Makes an unlocked block unlockable: the handle stays valid but locks to null.
bool DiscardBlock(uint32_t handle);
size_t BlockSize(uint32_t handle);

// Copies bytes out of and into a block, locking it for the copy only.
std::vector<uint8_t> ReadBlock(uint32_t handle);
void WriteBlockBytes(uint32_t handle, size_t offset, const void* bytes, size_t count);
// Copies `count` bytes at `offset` out of the block without allocating; the
// simulator reads every instance's entries this way on every step.
void ReadBlockBytes(uint32_t handle, size_t offset, void* bytes, size_t count);

template <typename T>
T ReadAt(uint32_t handle, size_t offset) {
    T value;
    ReadBlockBytes(handle, offset, &value, sizeof(T));
    return value;
}

template <typename T>
void WriteAt(uint32_t handle, size_t offset, const T& value) {
    WriteBlockBytes(handle, offset, &value, sizeof(T));
}

// Frees a block when it goes out of scope.
class OwnedBlock {
public:
    OwnedBlock() = default;
    explicit OwnedBlock(size_t bytes) : handle_(AllocateBlock(bytes)) {}
    ~OwnedBlock() { Reset(); }
    OwnedBlock(OwnedBlock&& other) noexcept : handle_(other.handle_) { other.handle_ = 0; }
    OwnedBlock& operator=(OwnedBlock&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.handle_;
            other.handle_ = 0;
        }
        return *this;
    }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    uint32_t Handle() const { return handle_; }
    void Reset() {
        if (handle_ != 0) FreeBlock(handle_);
        handle_ = 0;
    }

private:
    uint32_t handle_ = 0;
};

} // namespace dvx::host

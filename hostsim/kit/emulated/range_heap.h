// An allocator of address ranges within [base, base + size): the emulated
// library's heap (malloc and free of its C runtime) and the window in which
// the host's memory blocks lie. It keeps only the bookkeeping; the bytes are
// wherever the caller maps the range. Best fit, neighbours merged on release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace dvx::host::guest {

class RangeHeap {
public:
    // Every range starts at a multiple of `alignment` (a power of two).
    RangeHeap(uint32_t base, uint32_t size, uint32_t alignment = 16);

    // The start of `bytes` (at least one), or 0 when no free range fits.
    uint32_t Allocate(uint32_t bytes);
    // Gives back a range that Allocate returned; false for any other address.
    bool Release(uint32_t address);
    // The bytes asked for at `address`, or 0 when it is no range's start.
    uint32_t SizeOf(uint32_t address) const;
    size_t Allocations() const { return used_.size(); }
    bool Contains(uint32_t address) const { return address - base_ < size_; }

private:
    struct Used {
        uint32_t asked;
        uint32_t taken;
    };
    void AddFree(uint32_t address, uint32_t bytes);
    void RemoveFree(std::map<uint32_t, uint32_t>::iterator at);

    uint32_t base_, size_, alignment_;
    std::map<uint32_t, uint32_t> free_;           // start -> length
    std::multimap<uint32_t, uint32_t> bySize_;    // length -> start
    std::map<uint32_t, Used> used_;               // start -> sizes
};

} // namespace dvx::host::guest

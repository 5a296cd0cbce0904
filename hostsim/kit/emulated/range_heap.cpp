#include "hostsim/kit/emulated/range_heap.h"

namespace dvx::host::guest {

RangeHeap::RangeHeap(uint32_t base, uint32_t size, uint32_t alignment)
    : base_(base), size_(size), alignment_(alignment) {
    AddFree(base, size);
}

void RangeHeap::AddFree(uint32_t address, uint32_t bytes) {
    free_[address] = bytes;
    bySize_.emplace(bytes, address);
}

void RangeHeap::RemoveFree(std::map<uint32_t, uint32_t>::iterator at) {
    auto [first, last] = bySize_.equal_range(at->second);
    for (auto it = first; it != last; ++it) {
        if (it->second == at->first) {
            bySize_.erase(it);
            break;
        }
    }
    free_.erase(at);
}

uint32_t RangeHeap::Allocate(uint32_t bytes) {
    if (bytes == 0 || bytes > size_) return 0;
    const uint32_t taken = (bytes + alignment_ - 1) & ~(alignment_ - 1);
    auto fit = bySize_.lower_bound(taken);
    if (fit == bySize_.end()) return 0;
    const uint32_t start = fit->second;
    const uint32_t length = fit->first;
    RemoveFree(free_.find(start));
    if (length > taken) AddFree(start + taken, length - taken);
    used_[start] = {bytes, taken};
    return start;
}

bool RangeHeap::Release(uint32_t address) {
    auto found = used_.find(address);
    if (found == used_.end()) return false;
    uint32_t start = address;
    uint32_t length = found->second.taken;
    used_.erase(found);
    // Merge with the free ranges on either side.
    auto next = free_.lower_bound(start);
    if (next != free_.end() && next->first == start + length) {
        length += next->second;
        RemoveFree(next);
    }
    auto previous = free_.lower_bound(start);
    if (previous != free_.begin()) {
        --previous;
        if (previous->first + previous->second == start) {
            start = previous->first;
            length += previous->second;
            RemoveFree(previous);
        }
    }
    AddFree(start, length);
    return true;
}

uint32_t RangeHeap::SizeOf(uint32_t address) const {
    auto found = used_.find(address);
    return found == used_.end() ? 0 : found->second.asked;
}

} // namespace dvx::host::guest

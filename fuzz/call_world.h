// The host of the call-sequence fuzzer: a few placed instances with their four
// blocks each, handles that name no usable block, and one UDMMain wrapper
// that checks after every call what must hold whatever the host did before:
//   - the status is 0, 28195, 28003 or 28194;
//   - every block's flags (lock count included) are what they were;
//   - a call stopped by the frame, and a call type without work, changed no
//     block and left `out` alone.
// The callbacks check the messages and requests (fuzz_host.h). A violation
// prints what broke and aborts, which libFuzzer records as a crash.
#pragma once

#include "fuzz/fuzz_host.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dvx::fuzz {

constexpr size_t kInstances = 3;

struct PlacedInstance {
    uint32_t instance = 0;
    uint32_t interfaceBlock = 0;
    uint32_t vector = 0;
    uint32_t matrix = 0;
};

// Which block a handle argument or an InterfaceBlock handle field names.
enum class HandleChoice : uint8_t {
    Own,       // the instance's own block of that role
    Other,     // the same role of the next instance
    Zero,
    Stale,     // a freed block
    Discarded, // valid handle, locks to null
    Empty,     // a block of zero bytes, locks to null
    Tiny,      // 8 bytes: locks, but too small for any layout
    Swapped,   // the instance's block of another role (never an InstanceData)
    Invalid,   // a handle that never named a block
    Count
};

class World {
public:
    explicit World(FuzzedDataProvider& data);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // UDMMain with the checks listed above.
    int32_t Call(int32_t callType, char* text, double* in, double* out, uint32_t instanceHandle,
                 uint32_t interfaceHandle);

    // The handle of an InstanceData argument or of an InterfaceBlock argument.
    uint32_t InstanceArgument(size_t index, HandleChoice choice) const;
    uint32_t InterfaceArgument(size_t index, HandleChoice choice) const;
    // A vectorHandle or matrixHandle value for the InterfaceBlock. Never an
    // InstanceData: a host that let the component write over an instance's
    // own record would lose the record's name copy itself.
    uint32_t FurtherHandle(size_t index, bool matrixRole, HandleChoice choice) const;

    const PlacedInstance& Placed(size_t index) const { return placed_[index]; }

    // Host-side writes, bounded by the block's size (skipped beyond it).
    void WriteBytes(uint32_t handle, size_t offset, const void* bytes, size_t count);
    size_t SizeOf(uint32_t handle) const;
    // "instance0", "vector2", "stale", ...: for traces.
    std::string Describe(uint32_t handle) const;

    // The host holds a lock on a block across calls; Unpin gives one back.
    void Pin(uint32_t handle);
    void UnpinAll();

    // Releases every instance through UDMMain (its own handles) and checks
    // that the component holds no allocation any more.
    void ReleaseAllAndCheckHeap();

private:
    // Four blocks per instance, then stale, discarded, empty, tiny and spare.
    static constexpr size_t kHandleCount = 4 * kInstances + 5;
    static constexpr size_t kLargestBlock = 512;
    struct BlockCopy {
        size_t size = 0; // 0 also for a block that does not lock
        uint8_t bytes[kLargestBlock];
        bool operator==(const BlockCopy& other) const;
    };
    using BlockBytes = std::array<BlockCopy, kHandleCount>;

    // Every handle of the world; InstanceData blocks at indices 0, 4, 8.
    std::array<uint32_t, kHandleCount> AllHandles() const;
    void Snapshot(BlockBytes* blocks) const;
    void RestoreOverwrittenNames(int32_t callType, uint32_t instanceHandle, const BlockBytes& before,
                                 const BlockBytes& after);

    std::array<PlacedInstance, kInstances> placed_{};
    uint32_t stale_ = 0;
    uint32_t discarded_ = 0;
    uint32_t empty_ = 0;
    uint32_t tiny_ = 0;
    uint32_t spare_ = 0; // a usable InterfaceBlock for the final releases
    std::vector<uint32_t> pinned_;
    BlockBytes before_{};
    BlockBytes after_{};
};

} // namespace dvx::fuzz

#include "fuzz/call_world.h"

#include "component/instance.h"
#include "host/boundary.h"
#include "platform/memory.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dvx::fuzz {

namespace {

uint32_t Allocate(size_t bytes) {
    const HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (handle == 0) Fail("the host cannot allocate a block");
    return FromHGlobal(handle);
}

unsigned Flags(uint32_t handle) { return GlobalFlags(ToHGlobal(handle)); }

bool DoesNoWork(int32_t callType) { return callType < kCallSetup || callType > kCallRelease || callType == kCallNothing; }

} // namespace

World::World(FuzzedDataProvider& data) {
    for (PlacedInstance& p : placed_) {
        const size_t instanceSize = data.PickValueInArray<size_t>({376, 376, 376, 400, 375, 116, 0});
        const size_t interfaceSize = data.PickValueInArray<size_t>({64, 64, 38, 40, 37, 8, 0});
        const size_t vectorSize = data.ConsumeBool() ? 48 : data.ConsumeIntegralInRange<size_t>(0, 96);
        const size_t matrixSize = data.ConsumeBool() ? 128 : data.ConsumeIntegralInRange<size_t>(0, 192);
        p.instance = Allocate(instanceSize);
        p.interfaceBlock = Allocate(interfaceSize);
        p.vector = Allocate(vectorSize);
        p.matrix = Allocate(matrixSize);
        // What a host's fresh InstanceData holds is unknown: zeros or noise.
        if (data.ConsumeBool() && instanceSize != 0) {
            std::vector<uint8_t> noise(instanceSize, 0xBE);
            data.ConsumeData(noise.data(), noise.size());
            WriteBytes(p.instance, 0, noise.data(), noise.size());
        }
        if (interfaceSize >= kInterfaceBlockUsed) {
            InterfaceBlock block{};
            block.vectorHandle = p.vector;
            block.matrixHandle = p.matrix;
            block.variablesOffset = 0;
            block.rhsOffset = 24;
            block.columnsOffset = 0;
            block.rowsOffset = 32;
            block.valuesOffset = 64;
            WriteBytes(p.interfaceBlock, 0, &block, kInterfaceBlockUsed);
        }
    }
    stale_ = Allocate(16);
    GlobalFree(ToHGlobal(stale_));
    discarded_ = Allocate(16);
    if (GlobalReAlloc(ToHGlobal(discarded_), 0, GMEM_MOVEABLE) == 0) Fail("cannot discard a block");
    empty_ = Allocate(0);
    tiny_ = Allocate(8);
    spare_ = Allocate(64);
}

World::~World() {
    UnpinAll();
    for (uint32_t handle : AllHandles())
        if (handle != stale_) GlobalFree(ToHGlobal(handle));
}

std::array<uint32_t, World::kHandleCount> World::AllHandles() const {
    std::array<uint32_t, kHandleCount> handles{};
    for (size_t i = 0; i < kInstances; ++i) {
        const PlacedInstance& p = placed_[i];
        handles[4 * i] = p.instance;
        handles[4 * i + 1] = p.interfaceBlock;
        handles[4 * i + 2] = p.vector;
        handles[4 * i + 3] = p.matrix;
    }
    const size_t rest = 4 * kInstances;
    handles[rest] = stale_;
    handles[rest + 1] = discarded_;
    handles[rest + 2] = empty_;
    handles[rest + 3] = tiny_;
    handles[rest + 4] = spare_;
    return handles;
}

bool World::BlockCopy::operator==(const BlockCopy& other) const {
    return size == other.size && std::memcmp(bytes, other.bytes, size) == 0;
}

void World::Snapshot(BlockBytes* blocks) const {
    const auto handles = AllHandles();
    for (size_t i = 0; i < kHandleCount; ++i) {
        BlockCopy& copy = (*blocks)[i];
        const auto* bytes = static_cast<const uint8_t*>(MemLock(handles[i]));
        copy.size = 0;
        if (bytes == nullptr) continue;
        copy.size = MemSize(handles[i]);
        if (copy.size > kLargestBlock) Fail("a block larger than the fuzz host ever makes");
        std::memcpy(copy.bytes, bytes, copy.size);
        MemUnlock(handles[i]);
    }
}

std::string World::Describe(uint32_t handle) const {
    static const char* const kRoles[] = {"instance", "interface", "vector", "matrix"};
    for (size_t i = 0; i < kInstances; ++i) {
        const uint32_t own[4] = {placed_[i].instance, placed_[i].interfaceBlock, placed_[i].vector, placed_[i].matrix};
        for (size_t role = 0; role < 4; ++role)
            if (own[role] == handle) return std::string(kRoles[role]) + std::to_string(i);
    }
    if (handle == 0) return "zero";
    if (handle == stale_) return "stale";
    if (handle == discarded_) return "discarded";
    if (handle == empty_) return "empty";
    if (handle == tiny_) return "tiny";
    if (handle == spare_) return "spare";
    return "invalid";
}

size_t World::SizeOf(uint32_t handle) const { return MemSize(handle); }

void World::WriteBytes(uint32_t handle, size_t offset, const void* bytes, size_t count) {
    auto* block = static_cast<uint8_t*>(MemLock(handle));
    if (block == nullptr) return;
    if (offset <= MemSize(handle) && count <= MemSize(handle) - offset) std::memcpy(block + offset, bytes, count);
    MemUnlock(handle);
}

uint32_t World::InstanceArgument(size_t index, HandleChoice choice) const {
    const PlacedInstance& p = placed_[index];
    switch (choice) {
    case HandleChoice::Own: return p.instance;
    case HandleChoice::Other: return placed_[(index + 1) % kInstances].instance;
    case HandleChoice::Swapped: return p.interfaceBlock; // too small to be an InstanceData
    default: return FurtherHandle(index, false, choice);
    }
}

uint32_t World::InterfaceArgument(size_t index, HandleChoice choice) const {
    const PlacedInstance& p = placed_[index];
    switch (choice) {
    case HandleChoice::Own: return p.interfaceBlock;
    case HandleChoice::Other: return placed_[(index + 1) % kInstances].interfaceBlock;
    case HandleChoice::Swapped: return p.vector;
    default: return FurtherHandle(index, false, choice);
    }
}

uint32_t World::FurtherHandle(size_t index, bool matrixRole, HandleChoice choice) const {
    const PlacedInstance& p = placed_[index];
    const PlacedInstance& next = placed_[(index + 1) % kInstances];
    switch (choice) {
    case HandleChoice::Own: return matrixRole ? p.matrix : p.vector;
    case HandleChoice::Other: return matrixRole ? next.matrix : next.vector;
    case HandleChoice::Zero: return 0;
    case HandleChoice::Stale: return stale_;
    case HandleChoice::Discarded: return discarded_;
    case HandleChoice::Empty: return empty_;
    case HandleChoice::Tiny: return tiny_;
    case HandleChoice::Swapped: return matrixRole ? p.interfaceBlock : p.matrix;
    default: return 0x7FFFFFFFu;
    }
}

void World::Pin(uint32_t handle) {
    if (MemLock(handle) != nullptr) pinned_.push_back(handle);
}

void World::UnpinAll() {
    for (uint32_t handle : pinned_) MemUnlock(handle);
    pinned_.clear();
}

int32_t World::Call(int32_t callType, char* text, double* in, double* out, uint32_t instanceHandle,
                    uint32_t interfaceHandle) {
    const auto handles = AllHandles();
    std::array<unsigned, kHandleCount> flagsBefore{};
    for (size_t i = 0; i < kHandleCount; ++i) flagsBefore[i] = Flags(handles[i]);
    Snapshot(&before_);
    const double outBefore = out != nullptr ? *out : 0.0;

    BeginComponentCall(instanceHandle);
    const int32_t status = ComponentMain(callType, text, in, out, instanceHandle, interfaceHandle);
    EndComponentCall();
    if (Tracing())
        std::fprintf(stderr, "UDMMain(%d, %s%s%s, in %s, out %s, %s, %s) = %d, component allocations %zu\n", callType,
                     text != nullptr ? "\"" : "", text != nullptr ? text : "null", text != nullptr ? "\"" : "",
                     in != nullptr ? "set" : "null", out != nullptr ? "set" : "null", Describe(instanceHandle).c_str(),
                     Describe(interfaceHandle).c_str(), status, ComponentAllocations());

    if (status != kStatusOk && status != kStatusMissingHandle && status != kStatusLockFailed &&
        status != kStatusBadOutputIndex)
        Fail("UDMMain returned a status outside 0, 28195, 28003, 28194");
    if (status == kStatusBadOutputIndex && callType != kCallOutputValue) Fail("28194 from a call type other than 6");
    if ((instanceHandle == 0 || interfaceHandle == 0) && status != kStatusMissingHandle)
        Fail("a zero main handle did not give 28195");
    for (size_t i = 0; i < kHandleCount; ++i)
        if (Flags(handles[i]) != flagsBefore[i]) Fail("a block's lock count changed across the call");

    Snapshot(&after_);
    const bool stopped = status == kStatusMissingHandle || status == kStatusLockFailed;
    const bool readOnly = DoesNoWork(callType) || callType == kCallOutputLookup || callType == kCallOutputValue;
    if ((stopped || readOnly) && after_ != before_) Fail("a call that writes nothing changed a block");
    RestoreOverwrittenNames(callType, instanceHandle, before_, after_);
    if (out != nullptr) {
        if (stopped && std::memcmp(out, &outBefore, sizeof outBefore) != 0) Fail("a stopped call wrote out");
        if (callType == kCallOutputLookup && !stopped && !(*out >= 0.0 && *out <= 5.0 && *out == std::trunc(*out)))
            Fail("output lookup wrote something other than an index 0 to 5");
        if (status == kStatusBadOutputIndex && *out != 0.0) Fail("an invalid output index did not give 0.0");
    }
    return status;
}

// kName changes only by set-up and release of that very InstanceData. Any
// other change came through the host's own aliasing: an InterfaceBlock whose
// handle field, overwritten as vector or matrix data, came to name an
// InstanceData. The host then put the record right again; the copy stays the
// instance's, and the leak check stays exact.
void World::RestoreOverwrittenNames(int32_t callType, uint32_t instanceHandle, const BlockBytes& before,
                                    const BlockBytes& after) {
    constexpr size_t kNameAt = offsetof(InstanceData, kName);
    for (size_t i = 0; i < kInstances; ++i) {
        const BlockCopy& was = before[4 * i];
        const BlockCopy& is = after[4 * i];
        if (was.size < kNameAt + 8 || is.size < kNameAt + 8) continue;
        if (std::memcmp(was.bytes + kNameAt, is.bytes + kNameAt, 8) == 0) continue;
        const bool ownWrite =
            (callType == kCallSetup || callType == kCallRelease) && placed_[i].instance == instanceHandle;
        if (!ownWrite) WriteBytes(placed_[i].instance, kNameAt, was.bytes + kNameAt, 8);
    }
}

void World::ReleaseAllAndCheckHeap() {
    UnpinAll();
    // The instance's own InterfaceBlock may be one the fuzz made unusable;
    // release needs nothing of it but a lockable block of the right size.
    for (const PlacedInstance& p : placed_) Call(kCallRelease, nullptr, nullptr, nullptr, p.instance, spare_);
    if (ComponentAllocations() != 0) {
        std::fprintf(stderr, "%zu allocation(s) of the component outlive the last release:\n", ComponentAllocations());
        DescribeComponentAllocations();
        Fail("leak after the last release");
    }
}

} // namespace dvx::fuzz

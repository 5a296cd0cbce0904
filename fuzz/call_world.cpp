#include "fuzz/call_world.h"

#include "component/instance.h"
#include "host/boundary.h"
#include "platform/memory.h"

#include <sanitizer/allocator_interface.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace dvx::fuzz {

namespace {

// State the callbacks need; the component calls them through plain pointers.
FuzzedDataProvider* gData = nullptr;
uint32_t gCallInstanceHandle = 0;

// DVX_FUZZ_TRACE=1 prints every call, to turn a finding into a regression test.
bool gTrace = false;

// Allocations minus frees made while the component runs (callbacks excluded).
bool gInComponent = false;
long gComponentLive = 0;

void OnMalloc(const volatile void* pointer, size_t) {
    if (gInComponent && pointer != nullptr) ++gComponentLive;
}

void OnFree(const volatile void* pointer) {
    if (gInComponent && pointer != nullptr) --gComponentLive;
}

// The host's own work inside a callback is not the component's.
class HostTurn {
public:
    HostTurn() : saved_(gInComponent) { gInComponent = false; }
    ~HostTurn() { gInComponent = saved_; }
    HostTurn(const HostTurn&) = delete;
    HostTurn& operator=(const HostTurn&) = delete;

private:
    bool saved_;
};

int32_t DVX_CDECL OnMessage(int32_t severity, const char* text) {
    HostTurn turn;
    if (severity != kSeverityWarning && severity != kSeverityError) Fail("message severity is not 2 or 3");
    if (text == nullptr) Fail("null message text");
    // Reading up to the terminator is what a host does; AddressSanitizer
    // reports a text that runs off its buffer.
    const size_t length = std::strlen(text);
    if (length < 7 || std::strncmp(text, "Quorin1", 7) != 0) Fail("message without the Quorin1 prefix");
    return 0;
}

void AnswerInstanceName(char* buffer, intptr_t argument) {
    const size_t room = static_cast<size_t>(argument);
    switch (gData->ConsumeIntegralInRange<int>(0, 3)) {
    case 0: { // a terminated name of fuzz length
        const size_t length = gData->ConsumeIntegralInRange<size_t>(0, room - 1);
        std::memset(buffer, 'n', length);
        gData->ConsumeData(buffer, length);
        buffer[length] = '\0';
        break;
    }
    case 1: // every byte used, no terminator
        std::memset(buffer, 'N', room);
        gData->ConsumeData(buffer, room);
        for (size_t i = 0; i < room; ++i)
            if (buffer[i] == '\0') buffer[i] = 'x';
        break;
    default: break; // the buffer stays as it was
    }
}

int32_t DVX_CDECL OnQuery(intptr_t code, intptr_t second, intptr_t third, intptr_t fourth) {
    HostTurn turn;
    FuzzedDataProvider& data = *gData;
    switch (code) {
    case kQueryReference: {
        const auto* name = reinterpret_cast<const char*>(second);
        if (name == nullptr) Fail("reference query without a name");
        // The only name the component may hand over is its own heap copy.
        if (__sanitizer_get_ownership(name) == 0) Fail("reference query with a name that is no live heap copy");
        (void)std::strlen(name);
        auto* reference = reinterpret_cast<double*>(fourth);
        if (reference == nullptr) Fail("reference query without room for the answer");
        reference[0] = FuzzDouble(data);
        reference[1] = FuzzDouble(data);
        return 0;
    }
    case kQueryValue: {
        const auto* reference = reinterpret_cast<const double*>(third);
        auto* value = reinterpret_cast<double*>(fourth);
        if (reference == nullptr || value == nullptr) Fail("value query without its reference or answer");
        if (std::isnan(reference[0]) || std::isnan(reference[1])) Fail("value query with a NaN reference");
        if (data.ConsumeBool()) *value = FuzzDouble(data); // else: the host leaves it unanswered
        return 0;
    }
    case kQueryService: {
        const auto* request = reinterpret_cast<const HostServiceRequest*>(third);
        if (request == nullptr) Fail("service request without its record");
        if (request->selector != 4.0) Fail("service request with a selector other than 4");
        if (request->handle != gCallInstanceHandle) Fail("instance-name request for another handle");
        if (fourth != kInstanceNameSize || second == 0) Fail("instance-name request without its 260-byte buffer");
        AnswerInstanceName(reinterpret_cast<char*>(second), fourth);
        return data.PickValueInArray<int32_t>({0, 0, 1, -1, 28003});
    }
    default: Fail("query with an unknown code");
    }
}

uint32_t Allocate(size_t bytes) {
    const HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (handle == 0) Fail("the host cannot allocate a block");
    return FromHGlobal(handle);
}

unsigned Flags(uint32_t handle) { return GlobalFlags(ToHGlobal(handle)); }

bool DoesNoWork(int32_t callType) { return callType < kCallSetup || callType > kCallRelease || callType == kCallNothing; }

} // namespace

void Fail(const char* what) {
    std::fprintf(stderr, "call-sequence property violated: %s\n", what);
    std::abort();
}

double FuzzDouble(FuzzedDataProvider& data) {
    static const double kValues[] = {
        0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        INFINITY, -INFINITY, 1e300, -1e300, 1e16, -1e16, 3e17, -3e17, 1.0, 2.0, -4.0, 0.5, 7.9, -2.5,
        2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, 4294967296.0, 1e-320, DBL_MAX, -DBL_MAX,
        DBL_MIN, 5.9, 6.0, 65537.0, 1e10, -1.0, 0.99, 3.0, 4.0, 5.0, 10.0};
    constexpr size_t kCount = sizeof kValues / sizeof kValues[0];
    const size_t pick = data.ConsumeIntegralInRange<size_t>(0, kCount);
    if (pick < kCount) return kValues[pick];
    const uint64_t bits = data.ConsumeIntegral<uint64_t>();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void RegisterCallbacks(FuzzedDataProvider& data) {
    gData = &data;
    ModelDescriptor descriptor{};
    const int mode = data.ConsumeIntegralInRange<int>(0, 4);
    HostMessageCallback message = mode == 0 || mode == 3 ? nullptr : &OnMessage;
    HostQueryCallback query = mode == 0 || mode == 4 ? nullptr : &OnQuery;
    UDMInit(message, query, mode == 2 ? nullptr : &descriptor);
    if (mode != 2 && (descriptor.fixedFirst != 2 || descriptor.instanceSize != kInstanceDataSize ||
                      descriptor.fixedThird != 0))
        Fail("UDMInit wrote another descriptor");
}

void InstallHeapCounter() {
    __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
    gTrace = std::getenv("DVX_FUZZ_TRACE") != nullptr;
}

World::World(FuzzedDataProvider& data) {
    gData = &data;
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

    gCallInstanceHandle = instanceHandle;
    gInComponent = true;
    const int32_t status = UDMMain(callType, text, in, out, instanceHandle, interfaceHandle);
    gInComponent = false;
    if (gTrace)
        std::fprintf(stderr, "UDMMain(%d, %s%s%s, in %s, out %s, %s, %s) = %d, component heap %ld\n", callType,
                     text != nullptr ? "\"" : "", text != nullptr ? text : "null", text != nullptr ? "\"" : "",
                     in != nullptr ? "set" : "null", out != nullptr ? "set" : "null", Describe(instanceHandle).c_str(),
                     Describe(interfaceHandle).c_str(), status, gComponentLive);

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
    if (gComponentLive != 0) {
        std::fprintf(stderr, "%ld allocation(s) of the component outlive the last release\n", gComponentLive);
        Fail("leak after the last release");
    }
}

} // namespace dvx::fuzz

#include "hostsim/kit/instance.h"

#include "platform/memory.h"

#include <cstring>

namespace dvx::host {

namespace {

// LockCount() without the call into the memory layer natively, where the
// lookup is inline; on Windows it is GlobalFlags.
unsigned FastLockCount(uint32_t handle) {
#if defined(_WIN32)
    return LockCount(handle);
#else
    const dvx::memory::Slot* slot = dvx::memory::FindSlot(handle);
    return slot == nullptr ? 0 : dvx::memory::LockCountOf(slot);
#endif
}

} // namespace

HostInstance::HostInstance(const ComponentLibrary& library, const BlockLayout& layout)
    : library_(library), layout_(layout), instance_(layout.instanceSize),
      interface_(layout.interfaceSize), vector_(layout.vectorSize), matrix_(layout.matrixSize),
      vectorHandle_(vector_.Handle()), matrixHandle_(matrix_.Handle()) {
    WriteOffsets();
}

HostInstance::HostInstance(const ComponentLibrary& library, const BlockLayout& layout, uint32_t vector,
                           uint32_t matrix)
    : library_(library), layout_(layout), instance_(layout.instanceSize), interface_(layout.interfaceSize),
      vectorHandle_(vector), matrixHandle_(matrix) {
    WriteOffsets();
}

void HostInstance::WriteOffsets() {
    callInstanceHandle = instance_.Handle();
    callInterfaceHandle = interface_.Handle();
    if (layout_.interfaceSize >= kInterfaceBlockUsed) {
        InterfaceBlock block{};
        block.vectorHandle = vectorHandle_;
        block.matrixHandle = matrixHandle_;
        block.variablesOffset = layout_.variablesOffset;
        block.rhsOffset = layout_.rhsOffset;
        block.columnsOffset = layout_.columnsOffset;
        block.rowsOffset = layout_.rowsOffset;
        block.valuesOffset = layout_.valuesOffset;
        WriteInterface(block);
    }
}

std::array<uint32_t, 4> HostInstance::AllHandles() const {
    return {instance_.Handle(), interface_.Handle(), vectorHandle_, matrixHandle_};
}

void HostInstance::CheckLocks(int32_t callType, const std::array<unsigned, 4>& before) {
    static const char* const kNames[] = {"InstanceData", "InterfaceBlock", "VectorBlock", "MatrixBlock"};
    const auto handles = AllHandles();
    for (size_t i = 0; i < handles.size(); ++i) {
        const unsigned after = FastLockCount(handles[i]);
        if (after != before[i])
            lockViolations.push_back("call type " + std::to_string(callType) + ": " + kNames[i] +
                                     " lock count " + std::to_string(before[i]) + " before, " +
                                     std::to_string(after) + " after");
    }
}

int32_t HostInstance::Call(int32_t callType, char* text, double* in, double* out) {
    const auto handles = AllHandles();
    std::array<unsigned, 4> before{};
    for (size_t i = 0; i < handles.size(); ++i) before[i] = FastLockCount(handles[i]);
    const int32_t status = library_.Main(callType, text, in, out, callInstanceHandle, callInterfaceHandle);
    CheckLocks(callType, before);
    return status;
}

int32_t HostInstance::StepCall(const std::array<double, 3>& variables, double* values, size_t count, double* rhs) {
    const std::array<uint32_t, 4> handles = AllHandles();
    const uint32_t vector = handles[2], matrix = handles[3];
    auto* v = static_cast<uint8_t*>(MemLock(vector));
    if (v == nullptr) throw std::runtime_error("block does not lock");
    const size_t vectorSize = MemSize(vector);
    if (layout_.variablesOffset + sizeof variables > vectorSize || layout_.rhsOffset + 3 * sizeof(double) > vectorSize) {
        MemUnlock(vector);
        throw std::out_of_range("the variables or the right-hand side lie beyond the VectorBlock");
    }
    std::memcpy(v + layout_.variablesOffset, variables.data(), sizeof variables);
    MemUnlock(vector);

    std::array<unsigned, 4> before{};
    for (size_t i = 0; i < handles.size(); ++i) before[i] = FastLockCount(handles[i]);
    const int32_t status = library_.Main(kCallStep, nullptr, nullptr, nullptr, callInstanceHandle, callInterfaceHandle);
    unsigned changed = 0;
    for (size_t i = 0; i < handles.size(); ++i) changed |= FastLockCount(handles[i]) ^ before[i];
    if (changed != 0) CheckLocks(kCallStep, before);

    v = static_cast<uint8_t*>(MemLock(vector));
    if (v == nullptr) throw std::runtime_error("block does not lock");
    std::memcpy(rhs, v + layout_.rhsOffset, 3 * sizeof(double));
    MemUnlock(vector);
    const auto* m = static_cast<const uint8_t*>(MemLock(matrix));
    if (m == nullptr) throw std::runtime_error("block does not lock");
    if (layout_.valuesOffset + count * sizeof(double) > MemSize(matrix)) {
        MemUnlock(matrix);
        throw std::out_of_range("the entry values lie beyond the MatrixBlock");
    }
    std::memcpy(values, m + layout_.valuesOffset, count * sizeof(double));
    MemUnlock(matrix);
    return status;
}

CallResult HostInstance::Setup(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    CallResult result;
    result.status = Call(kCallSetup, buffer.data(), nullptr, nullptr);
    for (size_t i = 0; i + 1 < buffer.size(); ++i) result.text.push_back(buffer[i] == '\0' ? '|' : buffer[i]);
    return result;
}

int32_t HostInstance::SetupNull() { return Call(kCallSetup, nullptr, nullptr, nullptr); }

int32_t HostInstance::Layout() { return Call(kCallLayout, nullptr, nullptr, nullptr); }

int32_t HostInstance::Step(double omega1, double omega2, double m1) {
    SetVariables(omega1, omega2, m1);
    return Call(kCallStep, nullptr, nullptr, nullptr);
}

double HostInstance::Lookup(const std::string& name, int32_t* status) {
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    double out = -1.0;
    const int32_t s = Call(kCallOutputLookup, buffer.data(), nullptr, &out);
    if (status != nullptr) *status = s;
    return out;
}

double HostInstance::Value(double index, int32_t* status) {
    double out = -1.0;
    const int32_t s = Call(kCallOutputValue, nullptr, &index, &out);
    if (status != nullptr) *status = s;
    return out;
}

int32_t HostInstance::Release() { return Call(kCallRelease, nullptr, nullptr, nullptr); }

InterfaceBlock HostInstance::ReadInterface() const {
    return ReadAt<InterfaceBlock>(interface_.Handle(), 0);
}

void HostInstance::WriteInterface(const InterfaceBlock& block) {
    WriteBlockBytes(interface_.Handle(), 0, &block, kInterfaceBlockUsed);
}

std::array<double, 3> HostInstance::Rhs() const {
    return ReadAt<std::array<double, 3>>(vectorHandle_, layout_.rhsOffset);
}

void HostInstance::SetRhs(const std::array<double, 3>& values) {
    WriteAt(vectorHandle_, layout_.rhsOffset, values);
}

std::array<int32_t, kJacobianEntries> HostInstance::Rows() const {
    return ReadAt<std::array<int32_t, kJacobianEntries>>(matrixHandle_, layout_.rowsOffset);
}

std::array<int32_t, kJacobianEntries> HostInstance::Columns() const {
    return ReadAt<std::array<int32_t, kJacobianEntries>>(matrixHandle_, layout_.columnsOffset);
}

std::array<double, kJacobianEntries> HostInstance::Values() const {
    return ReadAt<std::array<double, kJacobianEntries>>(matrixHandle_, layout_.valuesOffset);
}

void HostInstance::SetVariables(double omega1, double omega2, double m1) {
    const std::array<double, 3> values{omega1, omega2, m1};
    WriteAt(vectorHandle_, layout_.variablesOffset, values);
}

} // namespace dvx::host

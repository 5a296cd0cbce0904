#include "hostsim/kit/instance.h"

#include <cstring>

namespace dvx::host {

HostInstance::HostInstance(const ComponentLibrary& library, const BlockLayout& layout)
    : library_(library), layout_(layout), instance_(layout.instanceSize),
      interface_(layout.interfaceSize), vector_(layout.vectorSize), matrix_(layout.matrixSize) {
    callInstanceHandle = instance_.Handle();
    callInterfaceHandle = interface_.Handle();
    if (layout.interfaceSize >= kInterfaceBlockUsed) {
        InterfaceBlock block{};
        block.vectorHandle = vector_.Handle();
        block.matrixHandle = matrix_.Handle();
        block.variablesOffset = layout.variablesOffset;
        block.rhsOffset = layout.rhsOffset;
        block.columnsOffset = layout.columnsOffset;
        block.rowsOffset = layout.rowsOffset;
        block.valuesOffset = layout.valuesOffset;
        WriteInterface(block);
    }
}

std::array<uint32_t, 4> HostInstance::AllHandles() const {
    return {instance_.Handle(), interface_.Handle(), vector_.Handle(), matrix_.Handle()};
}

int32_t HostInstance::Call(int32_t callType, char* text, double* in, double* out) {
    const auto handles = AllHandles();
    std::array<unsigned, 4> before{};
    for (size_t i = 0; i < handles.size(); ++i) before[i] = LockCount(handles[i]);
    const int32_t status = library_.main(callType, text, in, out, callInstanceHandle, callInterfaceHandle);
    static const char* const kNames[] = {"InstanceData", "InterfaceBlock", "VectorBlock", "MatrixBlock"};
    for (size_t i = 0; i < handles.size(); ++i) {
        const unsigned after = LockCount(handles[i]);
        if (after != before[i])
            lockViolations.push_back("call type " + std::to_string(callType) + ": " + kNames[i] +
                                     " lock count " + std::to_string(before[i]) + " before, " +
                                     std::to_string(after) + " after");
    }
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

InstanceData HostInstance::ReadInstance() const {
    return ReadAt<InstanceData>(instance_.Handle(), 0);
}

InterfaceBlock HostInstance::ReadInterface() const {
    return ReadAt<InterfaceBlock>(interface_.Handle(), 0);
}

void HostInstance::WriteInterface(const InterfaceBlock& block) {
    WriteBlockBytes(interface_.Handle(), 0, &block, kInterfaceBlockUsed);
}

std::array<double, 3> HostInstance::Rhs() const {
    return ReadAt<std::array<double, 3>>(vector_.Handle(), layout_.rhsOffset);
}

void HostInstance::SetRhs(const std::array<double, 3>& values) {
    WriteAt(vector_.Handle(), layout_.rhsOffset, values);
}

std::array<int32_t, kJacobianEntries> HostInstance::Rows() const {
    return ReadAt<std::array<int32_t, kJacobianEntries>>(matrix_.Handle(), layout_.rowsOffset);
}

std::array<int32_t, kJacobianEntries> HostInstance::Columns() const {
    return ReadAt<std::array<int32_t, kJacobianEntries>>(matrix_.Handle(), layout_.columnsOffset);
}

std::array<double, kJacobianEntries> HostInstance::Values() const {
    return ReadAt<std::array<double, kJacobianEntries>>(matrix_.Handle(), layout_.valuesOffset);
}

void HostInstance::SetVariables(double omega1, double omega2, double m1) {
    const std::array<double, 3> values{omega1, omega2, m1};
    WriteAt(vector_.Handle(), layout_.variablesOffset, values);
}

} // namespace dvx::host

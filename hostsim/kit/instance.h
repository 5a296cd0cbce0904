// One placed instance as a host drives it: its four blocks, the UDMMain call
// with a lock-balance check after every call, and readers for what the
// component wrote.
#pragma once

#include "host/boundary.h"
#include "hostsim/kit/blocks.h"
#include "hostsim/kit/library.h"

#include <array>
#include <string>
#include <vector>

namespace dvx::host {

// Sizes and offsets of the host's blocks; a test may choose any of them.
struct BlockLayout {
    size_t instanceSize = kInstanceDataSize;
    size_t interfaceSize = 64;
    size_t vectorSize = 48;
    size_t matrixSize = 8 * (4 + 4 + 8);
    uint16_t variablesOffset = 0;
    uint16_t rhsOffset = 24;
    uint16_t columnsOffset = 0;
    uint16_t rowsOffset = 8 * 4;
    uint16_t valuesOffset = 8 * 4 * 2;
};

struct CallResult {
    int32_t status = 0;
    std::string text; // call type 1: the parameter text as the call left it (NULs shown as '|')
};

class HostInstance {
public:
    // Four blocks of the instance's own, sized and laid out by `layout`.
    HostInstance(const ComponentLibrary& library, const BlockLayout& layout = {});
    // Blocks of its own for InstanceData (`instanceSize`) and the
    // InterfaceBlock (`interfaceSize`); the VectorBlock and MatrixBlock are
    // `vector` and `matrix`, which others share (the caller keeps them),
    // at the offsets of `layout`.
    HostInstance(const ComponentLibrary& library, const BlockLayout& layout, uint32_t vector, uint32_t matrix);

    // UDMMain with this instance's two handles. Afterwards every block's
    // lock count must be what it was before; a difference is recorded in
    // lockViolations.
    int32_t Call(int32_t callType, char* text, double* in, double* out);

    CallResult Setup(const std::string& text);
    int32_t SetupNull();
    int32_t Layout();
    int32_t Step(double omega1, double omega2, double m1);
    // The step call as a simulator makes it on every evaluation: the three
    // variables written, call type 3, then `count` entry values and the
    // three right-hand-side values read back; lock counts are checked as by
    // Call(). One lock of each block it reads or writes.
    int32_t StepCall(const std::array<double, 3>& variables, double* values, size_t count, double* rhs);
    double Lookup(const std::string& name, int32_t* status = nullptr);
    double Value(double index, int32_t* status = nullptr);
    int32_t Release();

    InterfaceBlock ReadInterface() const;
    void WriteInterface(const InterfaceBlock& block);
    std::array<double, 3> Rhs() const;
    void SetRhs(const std::array<double, 3>& values);
    std::array<int32_t, kJacobianEntries> Rows() const;
    std::array<int32_t, kJacobianEntries> Columns() const;
    std::array<double, kJacobianEntries> Values() const;
    void SetVariables(double omega1, double omega2, double m1);

    uint32_t InstanceHandle() const { return instance_.Handle(); }
    uint32_t InterfaceHandle() const { return interface_.Handle(); }
    uint32_t VectorHandle() const { return vectorHandle_; }
    uint32_t MatrixHandle() const { return matrixHandle_; }
    const BlockLayout& Blocks() const { return layout_; }
    const ComponentLibrary& Library() const { return library_; }

    // Handles passed to UDMMain; a test may replace them (zero, stale, ...).
    uint32_t callInstanceHandle = 0;
    uint32_t callInterfaceHandle = 0;
    std::vector<std::string> lockViolations;

private:
    void WriteOffsets();
    std::array<uint32_t, 4> AllHandles() const;
    void CheckLocks(int32_t callType, const std::array<unsigned, 4>& before);

    const ComponentLibrary& library_;
    BlockLayout layout_;
    OwnedBlock instance_;
    OwnedBlock interface_;
    OwnedBlock vector_; // empty where the blocks are shared
    OwnedBlock matrix_;
    uint32_t vectorHandle_ = 0, matrixHandle_ = 0;
};

} // namespace dvx::host

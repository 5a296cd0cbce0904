// The per-instance record, the host's blocks and the status codes of UDMMain.
// The host allocates every block; these layouts are what it and the component
// agree on byte for byte.
#pragma once

#include "host/boundary.h"

#include <stddef.h>
#include <stdint.h>

// UDMMain statuses. None of them carries a message.
enum {
    kStatusOk = 0,
    kStatusLockFailed = 28003,   // a block could not be locked (or is too small to use)
    kStatusBadOutputIndex = 28194,
    kStatusMissingHandle = 28195 // a required handle is zero
};

enum {
    kCallSetup = 1,
    kCallLayout = 2,
    kCallStep = 3,
    kCallNothing = 4,
    kCallOutputLookup = 5,
    kCallOutputValue = 6,
    kCallRelease = 7
};

enum { kInstanceNameSize = 260 };

// The component's own record, one per placed instance (376 bytes).
typedef struct InstanceData {
    uint8_t kIsNumber;     // non-zero: K was a number; 0: K names a host quantity
    uint8_t align1[3];
    int32_t kRefFirst;     // host's reference to the named quantity, truncated
    int32_t kRefSecond;
    uint8_t align12[4];
    double k;              // the factor in use; never 0 once set up
    union {
        char* kName;       // heap copy of a quantity name, or null
        uint64_t kNameSlot; // keeps the field 8 bytes wide for 32-bit pointers
    };
    double omega1;         // output OMEGA1 [rad/s]
    double omega2;         // output OMEGA2 [rad/s]
    double m1;             // output M1 [Nm], torque supplied by the predecessor
    double m2;             // output M2 [Nm], torque supplied to the successor
    uint8_t unused64[24];
    int32_t entryCount;    // Jacobian entries that layout wrote (8)
    uint8_t unused92[8];
    int32_t couplingStart; // first entry of the coupling group
    int32_t couplingCount;
    int32_t zeroGroupStart;
    int32_t zeroGroupCount;
    char instanceName[kInstanceNameSize]; // filled by the host on request
} InstanceData;

// The host's block for one instance. Fields the component does not use keep
// neutral names; their meaning belongs to the host.
typedef struct InterfaceBlock {
    uint16_t unused0;
    uint16_t countAt2;        // set-up writes 1
    uint16_t jacobianEntries; // "#entries"; set-up writes 8
    uint16_t countAt6;        // set-up writes 0
    DvxHandle vectorHandle;   // VectorBlock
    uint16_t unused12;
    uint16_t variablesOffset; // byte offset of the three variables in the VectorBlock
    uint8_t unused16[10];
    uint16_t rhsOffset;       // byte offset of the three right-hand-side entries
    DvxHandle matrixHandle;   // MatrixBlock
    uint16_t columnsOffset;   // byte offsets of the int32 column, int32 row
    uint16_t rowsOffset;      // and double value arrays in the MatrixBlock
    uint16_t valuesOffset;
} InterfaceBlock;

// The component reads nothing of the InterfaceBlock beyond this many bytes.
enum { kInterfaceBlockUsed = 38 };
enum { kJacobianEntries = 8, kVariableCount = 3 };

static_assert(sizeof(InstanceData) == kInstanceDataSize, "InstanceData");
static_assert(offsetof(InstanceData, kRefFirst) == 4, "InstanceData");
static_assert(offsetof(InstanceData, kRefSecond) == 8, "InstanceData");
static_assert(offsetof(InstanceData, k) == 16, "InstanceData");
static_assert(offsetof(InstanceData, kName) == 24, "InstanceData");
static_assert(offsetof(InstanceData, omega1) == 32, "InstanceData");
static_assert(offsetof(InstanceData, omega2) == 40, "InstanceData");
static_assert(offsetof(InstanceData, m1) == 48, "InstanceData");
static_assert(offsetof(InstanceData, m2) == 56, "InstanceData");
static_assert(offsetof(InstanceData, entryCount) == 88, "InstanceData");
static_assert(offsetof(InstanceData, couplingStart) == 100, "InstanceData");
static_assert(offsetof(InstanceData, couplingCount) == 104, "InstanceData");
static_assert(offsetof(InstanceData, zeroGroupStart) == 108, "InstanceData");
static_assert(offsetof(InstanceData, zeroGroupCount) == 112, "InstanceData");
static_assert(offsetof(InstanceData, instanceName) == 116, "InstanceData");

static_assert(offsetof(InterfaceBlock, countAt2) == 2, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, jacobianEntries) == 4, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, countAt6) == 6, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, vectorHandle) == 8, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, variablesOffset) == 14, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, rhsOffset) == 26, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, matrixHandle) == 28, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, columnsOffset) == 32, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, rowsOffset) == 34, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, valuesOffset) == 36, "InterfaceBlock");
static_assert(offsetof(InterfaceBlock, valuesOffset) + 2 == kInterfaceBlockUsed, "InterfaceBlock");

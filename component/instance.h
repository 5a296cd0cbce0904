// The component's own record, one per placed instance: the host allocates
// its 376 bytes and hands over its handle; what they hold is the
// component's. The host's blocks and the statuses are the boundary's
// (host/boundary.h).
#pragma once

#include "host/boundary.h"

#include <stddef.h>
#include <stdint.h>

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

// The library boundary: every record, callback and export that crosses between
// the host simulator and Dolvanex. This is the one place where the ABI is
// written down; the host simulator includes the same header, so a signature
// that drifts fails to compile on both sides.
//
// All integers are little-endian and fixed-width; all reals are IEEE doubles.
// Offsets are checked below for 32-bit (the product) and 64-bit (the native
// development build) pointers alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define DVX_CDECL __cdecl
#define DVX_EXPORT
#else
#define DVX_CDECL
#define DVX_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// A movable memory handle of the host's platform: 32 bits, never a pointer.
// Zero means "no block".
typedef uint32_t DvxHandle;

// Bytes of the per-instance record InstanceData that the host allocates for
// every instance. The boundary announces it (ModelDescriptor.instanceSize);
// the component's record is laid out to exactly this size.
enum { kInstanceDataSize = 376 };

// Written by UDMInit; the host allocates InstanceData blocks of instanceSize.
typedef struct ModelDescriptor {
    uint16_t fixedFirst;   // always 2; its meaning belongs to the host
    uint16_t instanceSize; // bytes of InstanceData per instance (376)
    uint16_t fixedThird;   // always 0; its meaning belongs to the host
} ModelDescriptor;

// Message severities used by the component.
enum { kSeverityWarning = 2, kSeverityError = 3 };

// Query codes of the host's service entry.
enum {
    kQueryReference = 0, // (name, null, double[2] reference out)
    kQueryValue = 1,     // (null, double[2] reference in, double value out)
    kQueryService = 4    // (buffer, HostServiceRequest*, integer argument)
};

// The host's message sink: a severity and a finished, NUL-terminated text.
// The result is not used.
typedef int32_t(DVX_CDECL* HostMessageCallback)(int32_t severity, const char* text);

// The host's service entry: a code and three pointer-sized arguments whose
// meaning depends on the code. Code 4 returns 0 on success.
typedef int32_t(DVX_CDECL* HostQueryCallback)(intptr_t code, intptr_t second, intptr_t third,
                                              intptr_t fourth);

// Built on the component's stack for one code-4 query; the host reads it only
// during the call.
typedef struct HostServiceRequest {
    double selector;    // 1.0 to 4.0: which service
    DvxHandle handle;   // selector 4.0: the instance's InstanceData handle
    uint32_t reserved;  // not written
} HostServiceRequest;

// One catalogue entry, filled by ListNodeInfo2 in a single static record.
enum { kNodeTextSize = 51, kDefaultValueSize = 256 };
enum { kKindNode = 1, kKindParameter = 2, kKindOutput = 3 };
typedef struct NodeInfo {
    char name[kNodeTextSize];
    char alignName;
    int32_t kind; // 1 conservative node, 2 parameter, 3 output
    char description[kNodeTextSize];
    char defaultValue[kDefaultValueSize]; // parameters only
    char alignDefault;
    char nature[kNodeTextSize]; // nodes only
    char alignNature;
} NodeInfo;

// The five exports, declared once as function types. The library defines
// them through these types and the host simulator loads them as pointers to
// the same types.
typedef int32_t(DVX_CDECL GetVersionNumberFn)(void);
typedef int32_t(DVX_CDECL UDCmodelOptFn)(void);
typedef int32_t(DVX_CDECL UDMInitFn)(HostMessageCallback message, HostQueryCallback query,
                                     ModelDescriptor* descriptor);
typedef NodeInfo*(DVX_CDECL ListNodeInfo2Fn)(int32_t index);
typedef int32_t(DVX_CDECL UDMMainFn)(int32_t callType, char* text, double* in, double* out,
                                     DvxHandle instanceHandle, DvxHandle interfaceHandle);

DVX_EXPORT GetVersionNumberFn GetVersionNumber;
DVX_EXPORT UDCmodelOptFn UDCmodelOpt;
DVX_EXPORT UDMInitFn UDMInit;
DVX_EXPORT ListNodeInfo2Fn ListNodeInfo2;
DVX_EXPORT UDMMainFn UDMMain;

#ifdef __cplusplus
}
#endif

enum {
    kInterfaceVersion = 2,
    kModelOptions = 9,
    kCatalogueEntries = 8,
};

// The instance name's room: the host fills a buffer of this many bytes on
// the instance-name request, and InstanceData keeps the name in as many.
enum { kInstanceNameSize = 260 };

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

static_assert(sizeof(DvxHandle) == 4, "handles are 32-bit on every target");
static_assert(sizeof(ModelDescriptor) == 6, "ModelDescriptor");
static_assert(offsetof(ModelDescriptor, instanceSize) == 2, "ModelDescriptor");
static_assert(offsetof(ModelDescriptor, fixedThird) == 4, "ModelDescriptor");
static_assert(sizeof(HostServiceRequest) == 16, "HostServiceRequest");
static_assert(offsetof(HostServiceRequest, handle) == 8, "HostServiceRequest");
static_assert(sizeof(NodeInfo) == 416, "NodeInfo");
static_assert(offsetof(NodeInfo, kind) == 52, "NodeInfo");
static_assert(offsetof(NodeInfo, description) == 56, "NodeInfo");
static_assert(offsetof(NodeInfo, defaultValue) == 107, "NodeInfo");
static_assert(offsetof(NodeInfo, nature) == 364, "NodeInfo");
static_assert(sizeof(intptr_t) == sizeof(void*), "query arguments are pointer-sized");
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

// UDMMain: the frame around every call type. It checks and locks the blocks
// in the host's order, runs the work, unlocks every block it locked on every
// path and returns the status.
#include "component/calls.h"
#include "host/services.h"
#include "host/text.h"
#include "numeric/limited.h"
#include "platform/memory.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

BlockView LockView(DvxHandle handle, MemHeld* held) {
    BlockView view;
    view.base = static_cast<uint8_t*>(MemLockHeld(handle, &view.size, held));
    return view;
}

// The used bytes of the host's InterfaceBlock, copied field by field. One
// bulk copy of the 38 bytes ends in a store that overlaps the one before it,
// and the step's next read of a handle across the two waits for both: that
// stall alone cost the step about a fifth of its time.
InterfaceBlock CopyOfInterface(const InterfaceBlock* host) {
    InterfaceBlock copy = {};
    copy.unused0 = host->unused0;
    copy.countAt2 = host->countAt2;
    copy.jacobianEntries = host->jacobianEntries;
    copy.countAt6 = host->countAt6;
    copy.vectorHandle = host->vectorHandle;
    copy.unused12 = host->unused12;
    copy.variablesOffset = host->variablesOffset;
    memcpy(copy.unused16, host->unused16, sizeof copy.unused16);
    copy.rhsOffset = host->rhsOffset;
    copy.matrixHandle = host->matrixHandle;
    copy.columnsOffset = host->columnsOffset;
    copy.rowsOffset = host->rowsOffset;
    copy.valuesOffset = host->valuesOffset;
    return copy;
}
static_assert(offsetof(InterfaceBlock, valuesOffset) + sizeof(uint16_t) == kInterfaceBlockUsed,
              "CopyOfInterface copies every used byte");

// Call types 2 and 3 need the VectorBlock and the MatrixBlock. Both locks are
// attempted before either result is tested.
int32_t RunWithFurtherBlocks(int32_t callType, InstanceData* instance,
                             const InterfaceBlock* hostInterfaceBlock, DvxHandle instanceHandle) {
    // A host may pass its InterfaceBlock again as the VectorBlock or the
    // MatrixBlock. The work then writes over the offsets it has checked, so it
    // reads them from a copy taken before anything is written.
    const InterfaceBlock copy = CopyOfInterface(hostInterfaceBlock);
    const InterfaceBlock* interfaceBlock = &copy;
    const DvxHandle vectorHandle = interfaceBlock->vectorHandle;
    const DvxHandle matrixHandle = interfaceBlock->matrixHandle;
    if (vectorHandle == 0 || matrixHandle == 0) return kStatusMissingHandle;
    FurtherBlocks blocks;
    MemHeld vectorHeld;
    MemHeld matrixHeld;
    blocks.vector = LockView(vectorHandle, &vectorHeld);
    blocks.matrix = LockView(matrixHandle, &matrixHeld);
    int32_t status = kStatusLockFailed;
    if (blocks.vector.base != nullptr && blocks.matrix.base != nullptr) {
        status = callType == kCallLayout ? RunLayout(instance, interfaceBlock, &blocks, instanceHandle)
                                         : RunStep(instance, interfaceBlock, &blocks);
    }
    if (blocks.vector.base != nullptr) MemUnlockHeld(&vectorHeld);
    if (blocks.matrix.base != nullptr) MemUnlockHeld(&matrixHeld);
    return status;
}

// Call type 6 needs only a lockable VectorBlock, not its content.
int32_t RunOutputValueFrame(const InstanceData* instance, const InterfaceBlock* interfaceBlock,
                            const double* in, double* out) {
    const DvxHandle vectorHandle = interfaceBlock->vectorHandle;
    if (vectorHandle == 0) return kStatusMissingHandle;
    if (MemLock(vectorHandle) == nullptr) return kStatusLockFailed;
    MemUnlock(vectorHandle);
    return RunOutputValue(instance, in, out);
}

int32_t RunCall(int32_t callType, char* text, const double* in, double* out,
                InstanceData* instance, InterfaceBlock* interfaceBlock, DvxHandle instanceHandle) {
    switch (callType) {
    case kCallSetup: return RunSetup(instance, interfaceBlock, text);
    case kCallLayout:
    case kCallStep: return RunWithFurtherBlocks(callType, instance, interfaceBlock, instanceHandle);
    case kCallOutputLookup: return RunOutputLookup(text, out);
    case kCallOutputValue: return RunOutputValueFrame(instance, interfaceBlock, in, out);
    case kCallRelease: return RunRelease(instance);
    default: return kStatusOk; // call type 4 and unknown types: nothing to do
    }
}

bool DoesWork(int32_t callType) {
    return callType >= kCallSetup && callType <= kCallRelease && callType != kCallNothing;
}

} // namespace

extern "C" int32_t DVX_CDECL UDMMain(int32_t callType, char* text, double* in, double* out,
                                     DvxHandle instanceHandle, DvxHandle interfaceHandle) {
    if (instanceHandle == 0 || interfaceHandle == 0) return kStatusMissingHandle;
    size_t instanceSize = 0;
    MemHeld instanceHeld;
    void* instance = MemLockHeld(instanceHandle, &instanceSize, &instanceHeld);
    if (instance == nullptr) return kStatusLockFailed;
    size_t interfaceSize = 0;
    MemHeld interfaceHeld;
    void* interfaceBlock = MemLockHeld(interfaceHandle, &interfaceSize, &interfaceHeld);
    if (interfaceBlock == nullptr) {
        MemUnlockHeld(&instanceHeld);
        return kStatusLockFailed;
    }
    int32_t status = kStatusOk;
    if (DoesWork(callType)) {
        // A block smaller than its layout cannot be used any more than one
        // that does not lock.
        if (instanceSize < kInstanceDataSize || interfaceSize < kInterfaceBlockUsed)
            status = kStatusLockFailed;
        else
            status = RunCall(callType, text, in, out, static_cast<InstanceData*>(instance),
                             static_cast<InterfaceBlock*>(interfaceBlock), instanceHandle);
    }
    MemUnlockHeld(&interfaceHeld);
    MemUnlockHeld(&instanceHeld);
    return status;
}

double FactorFrom(double value) {
    const double k = LimitToBound(value);
    return k == 0.0 ? 1.0 : k;
}

void ReportForInstance(int32_t severity, const InstanceData* instance, const char* format, ...) {
    // The name takes at most 260 bytes and the texts about 150: 512 always
    // holds the whole message.
    char detail[256];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    const int nameLength = static_cast<int>(BoundedLength(instance->instanceName, kInstanceNameSize));
    char message[512];
    snprintf(message, sizeof message, "Quorin1 - %.*s : %s", nameLength, instance->instanceName, detail);
    SendHostMessage(severity, message);
}

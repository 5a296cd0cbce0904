// UDMMain: the frame around every call type. It checks and locks the blocks
// in the host's order, runs the work, unlocks every block it locked on every
// path and returns the status.
#include "component/calls.h"
#include "component/frame.h"
#include "host/services.h"
#include "host/text.h"
#include "numeric/limited.h"
#include "platform/memory.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// The used bytes of the host's InterfaceBlock.
InterfaceBlock CopyOfInterface(const InterfaceBlock* host) {
    InterfaceBlock copy = {};
    memcpy(&copy, host, kInterfaceBlockUsed);
    return copy;
}

// Call type 2 needs the VectorBlock and the MatrixBlock.
int32_t RunLayoutFrame(InstanceData* instance, const InterfaceBlock* hostInterfaceBlock, DvxHandle instanceHandle) {
    // A host may pass its InterfaceBlock again as the VectorBlock or the
    // MatrixBlock. The work then writes over the offsets it has checked, so it
    // reads them from a copy taken before anything is written.
    const InterfaceBlock copy = CopyOfInterface(hostInterfaceBlock);
    const InterfaceBlock* interfaceBlock = &copy;
    FurtherFrame further;
    const int32_t status = OpenFurtherFrame(interfaceBlock->vectorHandle, interfaceBlock->matrixHandle, &further);
    if (status != kStatusOk) return status;
    const int32_t result = RunLayout(instance, interfaceBlock, &further.blocks, instanceHandle);
    CloseFurtherFrame(&further);
    return result;
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
    case kCallLayout: return RunLayoutFrame(instance, interfaceBlock, instanceHandle);
    case kCallOutputLookup: return RunOutputLookup(text, out);
    case kCallOutputValue: return RunOutputValueFrame(instance, interfaceBlock, in, out);
    case kCallRelease: return RunRelease(instance);
    default: return kStatusOk; // call type 4 and unknown types: nothing to do
    }
}

bool DoesWork(int32_t callType) {
    return callType >= kCallSetup && callType <= kCallRelease && callType != kCallNothing;
}

// Every call type but the step.
__attribute__((noinline)) int32_t RunFramedCall(int32_t callType, char* text, const double* in, double* out,
                                                DvxHandle instanceHandle, DvxHandle interfaceHandle) {
    CallFrame frame;
    int32_t status = OpenCallFrame(instanceHandle, interfaceHandle, &frame);
    if (status != kStatusOk) return status;
    if (DoesWork(callType))
        status = CallFrameFits(&frame) ? RunCall(callType, text, in, out, frame.instance, frame.interfaceBlock,
                                                 instanceHandle)
                                       : kStatusLockFailed;
    CloseCallFrame(&frame);
    return status;
}

} // namespace

extern "C" int32_t DVX_CDECL UDMMain(int32_t callType, char* text, double* in, double* out,
                                     DvxHandle instanceHandle, DvxHandle interfaceHandle) {
    // The host steps every instance at every time step; the step goes
    // straight to its own frame.
    if (callType == kCallStep) return RunStepCall(instanceHandle, interfaceHandle);
    return RunFramedCall(callType, text, in, out, instanceHandle, interfaceHandle);
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

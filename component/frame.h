// The frame every call has: InstanceData and InterfaceBlock are checked and
// locked in the host's order before the work, and unlocked after it on every
// path. Inline, because the step (its own frame, for every instance at every
// step) and the other call types share it.
#pragma once

#include "component/calls.h"
#include "component/instance.h"
#include "platform/memory.h"

typedef struct CallFrame {
    InstanceData* instance;
    InterfaceBlock* interfaceBlock;
    size_t instanceSize;
    size_t interfaceSize;
    MemHeld instanceHeld;
    MemHeld interfaceHeld;
} CallFrame;

// kStatusOk with both blocks locked; otherwise the call's status, with
// nothing left locked.
inline int32_t OpenCallFrame(DvxHandle instanceHandle, DvxHandle interfaceHandle, CallFrame* frame) {
    if (instanceHandle == 0 || interfaceHandle == 0) return kStatusMissingHandle;
    frame->instance = static_cast<InstanceData*>(
        MemLockHeld(instanceHandle, &frame->instanceSize, &frame->instanceHeld));
    if (frame->instance == nullptr) return kStatusLockFailed;
    frame->interfaceBlock = static_cast<InterfaceBlock*>(
        MemLockHeld(interfaceHandle, &frame->interfaceSize, &frame->interfaceHeld));
    if (frame->interfaceBlock == nullptr) {
        MemUnlockHeld(&frame->instanceHeld);
        return kStatusLockFailed;
    }
    return kStatusOk;
}

// A block smaller than its layout cannot be used any more than one that does
// not lock: call types that do work then return kStatusLockFailed. A block
// that locks but whose size cannot be read (kMemSizeUnknown) passes: it is
// taken to have the layout the host declares.
inline bool CallFrameFits(const CallFrame* frame) {
    return frame->instanceSize >= kInstanceDataSize && frame->interfaceSize >= kInterfaceBlockUsed;
}

inline void CloseCallFrame(const CallFrame* frame) {
    MemUnlockHeld(&frame->interfaceHeld);
    MemUnlockHeld(&frame->instanceHeld);
}

// The VectorBlock and MatrixBlock of call types 2 and 3, taken after the
// frame above.
typedef struct FurtherFrame {
    FurtherBlocks blocks;
    MemHeld vectorHeld;
    MemHeld matrixHeld;
} FurtherFrame;

// kStatusOk with both blocks locked; otherwise the call's status, with
// neither left locked. Both locks are attempted before either result is
// tested.
inline int32_t OpenFurtherFrame(DvxHandle vectorHandle, DvxHandle matrixHandle, FurtherFrame* frame) {
    if (vectorHandle == 0 || matrixHandle == 0) return kStatusMissingHandle;
    BlockView& vector = frame->blocks.vector;
    BlockView& matrix = frame->blocks.matrix;
    vector.base = static_cast<uint8_t*>(MemLockHeld(vectorHandle, &vector.size, &frame->vectorHeld));
    matrix.base = static_cast<uint8_t*>(MemLockHeld(matrixHandle, &matrix.size, &frame->matrixHeld));
    if (vector.base != nullptr && matrix.base != nullptr) return kStatusOk;
    if (vector.base != nullptr) MemUnlockHeld(&frame->vectorHeld);
    if (matrix.base != nullptr) MemUnlockHeld(&frame->matrixHeld);
    return kStatusLockFailed;
}

inline void CloseFurtherFrame(const FurtherFrame* frame) {
    MemUnlockHeld(&frame->vectorHeld);
    MemUnlockHeld(&frame->matrixHeld);
}

// The frame every call has: InstanceData and InterfaceBlock are checked and
// locked in the host's order before the work, and unlocked after it on every
// path. Inline, because the step (its own frame, for every instance at every
// step) and the other call types share it.
#pragma once

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
// not lock: call types that do work then return kStatusLockFailed.
inline bool CallFrameFits(const CallFrame* frame) {
    return frame->instanceSize >= kInstanceDataSize && frame->interfaceSize >= kInterfaceBlockUsed;
}

inline void CloseCallFrame(const CallFrame* frame) {
    MemUnlockHeld(&frame->interfaceHeld);
    MemUnlockHeld(&frame->instanceHeld);
}

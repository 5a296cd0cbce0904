// The work of each call type. For all but the step, the dispatcher has
// checked and locked the blocks, and these functions only do their own work
// and return a status; the step keeps its whole frame (RunStepCall).
#pragma once

#include "component/blocks.h"
#include "component/instance.h"

// The further blocks of call types 2 and 3 (component/frame.h locks them).
typedef struct FurtherBlocks {
    BlockView vector;
    BlockView matrix;
} FurtherBlocks;

int32_t RunSetup(InstanceData* instance, InterfaceBlock* interfaceBlock, char* text);
int32_t RunLayout(InstanceData* instance, const InterfaceBlock* interfaceBlock, const FurtherBlocks* blocks,
                  DvxHandle instanceHandle);
// Call type 3 with its whole frame: it locks all four blocks itself.
int32_t RunStepCall(DvxHandle instanceHandle, DvxHandle interfaceHandle);
int32_t RunOutputLookup(const char* text, double* out);
int32_t RunOutputValue(const InstanceData* instance, const double* in, double* out);
int32_t RunRelease(InstanceData* instance);

// Reads or refreshes a named K through the host: Limit to +-1e16, zero
// becomes 1.0. Used by layout and step.
void RefreshNamedFactor(InstanceData* instance);

// Stores the factor from a number or a host answer: limited to +-1e16, and
// 1.0 in place of zero (of either sign).
double FactorFrom(double value);

// "Quorin1 - <instance name> : " followed by the formatted text, sent with
// the given severity. The name is read within its 260 bytes even when the
// host left it without a terminator, and the whole message always fits.
void ReportForInstance(int32_t severity, const InstanceData* instance, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The host side of the call-sequence fuzzer that is not about blocks: the two
// callbacks, answering from the fuzz input and checking what the component
// hands them. What the component is and how its heap is seen is
// component_under_test.h's.
#pragma once

#include "fuzz/component_under_test.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

namespace dvx::fuzz {

// Prints what broke and aborts; libFuzzer records the input as a crash.
[[noreturn]] void Fail(const char* what);

// A double from the values that hosts get wrong (0, -0, NaN, infinities,
// 1e300, the ends of the 32-bit range, ...) or from raw fuzz bits.
double FuzzDouble(FuzzedDataProvider& data);

// Registers through UDMInit the fuzz host's callbacks, one of them, or none;
// the callbacks answer from `data` from then on. Checks the descriptor.
void RegisterCallbacks(FuzzedDataProvider& data);

// Once at start-up: the heap tracking; DVX_FUZZ_TRACE=1 in the environment
// turns on Tracing().
void StartFuzzHost();

// Around each UDMMain call: the handle an instance-name request must carry,
// and the span in which allocations are the component's.
void BeginComponentCall(uint32_t instanceHandle);
void EndComponentCall();

bool Tracing();

// The input being replayed, for the message of a violated property (a
// replay has no libFuzzer to name it).
void SetInputName(const char* name);

} // namespace dvx::fuzz

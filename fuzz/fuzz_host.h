// The host side of the call-sequence fuzzer that is not about blocks: the two
// callbacks, answering from the fuzz input and checking what the component
// hands them, and a view of the component's heap.
//
// The component is linked into the fuzzer and called directly. While it runs
// on the fuzzing thread, the sanitizer's allocation hooks record what it
// allocates and frees (its callbacks into the host excluded), so that a copy
// still held after the last release is a finding even though the component's
// registry keeps it reachable and LeakSanitizer would not report it.
#pragma once

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

// Once at start-up: installs the allocation hooks; DVX_FUZZ_TRACE=1 in the
// environment turns on Tracing().
void InstallHeapTracking();

// Around each UDMMain call: the handle an instance-name request must carry,
// and the span in which allocations are the component's.
void BeginComponentCall(uint32_t instanceHandle);
void EndComponentCall();

bool Tracing();

// The component's allocations not freed yet, and their allocation stacks.
size_t ComponentAllocations();
void DescribeComponentAllocations();

} // namespace dvx::fuzz

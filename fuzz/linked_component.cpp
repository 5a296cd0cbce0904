// The component linked into the fuzzer and called directly. While it runs on
// the fuzzing thread, the sanitizer's allocation hooks record what it
// allocates and frees (its callbacks into the host excluded), so that a copy
// still held after the last release is a finding even though the
// component's registry keeps it reachable and LeakSanitizer would not
// report it.
#include "fuzz/component_under_test.h"
#include "fuzz/fuzz_host.h"

#include <sanitizer/allocator_interface.h>
#include <sanitizer/asan_interface.h>

extern "C" void DvxFailAllocations(int32_t skip, int32_t count);

namespace dvx::fuzz {

namespace {

// The component's live allocations: made while it runs (callbacks excluded)
// and not yet freed. A fixed table: the hooks must not allocate. The hooks
// see every thread's allocations, libFuzzer's own threads included; only the
// thread that calls the component counts.
thread_local bool gInComponent = false;
constexpr size_t kMaxLive = 512;
const volatile void* gLive[kMaxLive];
size_t gLiveCount = 0;

void OnMalloc(const volatile void* pointer, size_t) {
    if (!gInComponent || pointer == nullptr) return;
    if (gLiveCount == kMaxLive) Fail("the component holds more allocations than the fuzz host tracks");
    gLive[gLiveCount++] = pointer;
}

void OnFree(const volatile void* pointer) {
    for (size_t i = 0; i < gLiveCount; ++i) {
        if (gLive[i] == pointer) {
            gLive[i] = gLive[--gLiveCount];
            return;
        }
    }
}

} // namespace

int32_t ComponentMain(int32_t callType, char* text, double* in, double* out, uint32_t instanceHandle,
                      uint32_t interfaceHandle) {
    return UDMMain(callType, text, in, out, instanceHandle, interfaceHandle);
}

int32_t ComponentInit(HostMessageCallback message, HostQueryCallback query, ModelDescriptor* descriptor) {
    return UDMInit(message, query, descriptor);
}

const NodeInfo* ComponentCatalogue(int32_t index) { return ListNodeInfo2(index); }
int32_t ComponentVersion() { return GetVersionNumber(); }
int32_t ComponentOptions() { return UDCmodelOpt(); }
void FailAllocations(int32_t skip, int32_t count) { DvxFailAllocations(skip, count); }

void InstallHeapTracking() { __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree); }

bool SetInComponent(bool inComponent) {
    const bool was = gInComponent;
    gInComponent = inComponent;
    return was;
}

bool IsLiveHeapCopy(const char* name) { return __sanitizer_get_ownership(name) != 0; }

size_t ComponentAllocations() { return gLiveCount; }

void DescribeComponentAllocations() {
    for (size_t i = 0; i < gLiveCount; ++i) __asan_describe_address(const_cast<void*>(gLive[i]));
}

} // namespace dvx::fuzz

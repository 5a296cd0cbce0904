// The component the call-sequence fuzz drives, and its heap as the fuzz
// host sees it. The fuzzer links the component's sources and watches the
// heap through the sanitizer's hooks (linked_component.cpp); a corpus replay
// drives a built library through the host kit, the Windows DLL on the
// emulated CPU among them, and reads the library's own heap
// (loaded_component.cpp). Exactly one of the two is linked.
#pragma once

#include "host/boundary.h"

#include <cstddef>
#include <cstdint>

namespace dvx::fuzz {

int32_t ComponentMain(int32_t callType, char* text, double* in, double* out, uint32_t instanceHandle,
                      uint32_t interfaceHandle);
int32_t ComponentInit(HostMessageCallback message, HostQueryCallback query, ModelDescriptor* descriptor);
const NodeInfo* ComponentCatalogue(int32_t index);
int32_t ComponentVersion();
int32_t ComponentOptions();
// The test build's hook: the next `count` allocations after `skip` fail.
void FailAllocations(int32_t skip, int32_t count);

// Once at start-up.
void InstallHeapTracking();
// Whether the component's own code is running (not a callback of the host):
// only its allocations count. Returns what it was before.
bool SetInComponent(bool inComponent);
// `name` is the start of a live allocation of the component.
bool IsLiveHeapCopy(const char* name);
// The component's allocations not freed yet, and a description of each.
size_t ComponentAllocations();
void DescribeComponentAllocations();

} // namespace dvx::fuzz

// A built library as the call-sequence fuzz's component, loaded through the
// host kit: for replaying the fuzzer's corpus against the product as it
// ships, the Windows DLL on the emulated CPU. That library's heap is the
// emulated C runtime's, which sees only the library's own allocations.
#include "fuzz/loaded_component.h"

#include "fuzz/component_under_test.h"
#include "fuzz/fuzz_host.h"
#include "hostsim/kit/emulated/emulated_library.h"

#include <cstdio>
#include <memory>

namespace dvx::fuzz {

namespace {

std::unique_ptr<host::ComponentLibrary> gLibrary;

const host::ComponentLibrary& Library() {
    if (!gLibrary) Fail("no component library is loaded");
    return *gLibrary;
}

const host::EmulatedLibrary* Emulated() { return dynamic_cast<const host::EmulatedLibrary*>(gLibrary.get()); }

} // namespace

const host::ComponentLibrary& LoadComponent(const std::filesystem::path& path) {
    gLibrary = host::LoadComponentLibrary(path);
    if (Emulated() == nullptr) Fail("a corpus replay reads the heap of an emulated library only");
    if (!gLibrary->HasExport("DvxFailAllocations")) Fail("the library is not the test build (no DvxFailAllocations)");
    return *gLibrary;
}

int32_t ComponentMain(int32_t callType, char* text, double* in, double* out, uint32_t instanceHandle,
                      uint32_t interfaceHandle) {
    return Library().Main(callType, text, in, out, instanceHandle, interfaceHandle);
}

int32_t ComponentInit(HostMessageCallback message, HostQueryCallback query, ModelDescriptor* descriptor) {
    return Library().Init(message, query, descriptor);
}

const NodeInfo* ComponentCatalogue(int32_t index) { return Library().ListNodeInfo(index); }
int32_t ComponentVersion() { return Library().GetVersionNumber(); }
int32_t ComponentOptions() { return Library().ModelOptions(); }

void FailAllocations(int32_t skip, int32_t count) {
    const int32_t arguments[] = {skip, count};
    Library().CallExport("DvxFailAllocations", arguments);
}

// The library's heap holds only the library's allocations: nothing to track.
void InstallHeapTracking() {}
bool SetInComponent(bool) { return false; }

bool IsLiveHeapCopy(const char* name) { return Emulated()->IsHeapBlock(name); }

size_t ComponentAllocations() { return Emulated()->HeapAllocations(); }

void DescribeComponentAllocations() {
    std::fprintf(stderr, "  (the emulated library's heap holds %zu allocations more than after its start-up)\n",
                 ComponentAllocations());
}

} // namespace dvx::fuzz

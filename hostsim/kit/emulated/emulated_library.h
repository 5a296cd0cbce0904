// A 32-bit Windows component library (PE32, i386) run on an emulated i386
// CPU, for hosts that cannot run 32-bit code: the module loaded as Windows
// loads it (loaded_module.h), its five exports found by name and called as
// cdecl functions. The host's blocks lie in memory the guest shares
// (BlockWindow); the host's callbacks are trap entries.
#pragma once

#include "hostsim/kit/library.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dvx::host {

namespace guest {
class LoadedModule;
} // namespace guest

class EmulatedLibrary final : public ComponentLibrary {
public:
    // `base`: where to place the image, 0 for its preferred base (where
    // that is free); a file already loaded keeps its place and its state,
    // as with LoadLibrary. Throws std::runtime_error naming the path when
    // the file is not a PE32 i386 DLL, imports what the emulation does not
    // provide, fails its start-up or lacks one of the five exports.
    explicit EmulatedLibrary(const std::filesystem::path& path, uint32_t base = 0);
    ~EmulatedLibrary() override;

    std::string Backend() const override;
    bool Emulated() const override { return true; }

    int32_t GetVersionNumber() const override;
    int32_t ModelOptions() const override;
    int32_t Init(HostMessageCallback message, HostQueryCallback query, ModelDescriptor* descriptor) const override;
    const NodeInfo* ListNodeInfo(int32_t index) const override;
    int32_t Main(int32_t callType, char* text, double* in, double* out, DvxHandle instanceHandle,
                 DvxHandle interfaceHandle) const override;

    bool HasExport(const char* name) const override;
    int32_t CallExport(const char* name, std::span<const int32_t> arguments) const override;

    const void* HostView(uint64_t address, size_t bytes) const override;
    unsigned PointerBits() const override { return 32; }

    // Where the image lies in the guest.
    uint32_t Base() const;
    // Allocations of the library's C heap made after its start-up and not
    // freed: what the component holds.
    size_t HeapAllocations() const;
    // Whether `host` is the start of a live allocation of that heap.
    bool IsHeapBlock(const void* host) const;

private:
    uint32_t Export(const char* name) const;
    uint32_t Invoke(const char* what, uint32_t function, std::span<const uint32_t> arguments) const;
    uint32_t MessageEntry(HostMessageCallback message) const;
    uint32_t QueryEntry(HostQueryCallback query) const;

    std::shared_ptr<guest::LoadedModule> module_;
    struct Exports {
        uint32_t getVersionNumber = 0, modelOptions = 0, init = 0, listNodeInfo = 0, main = 0;
    } exports_;
};

} // namespace dvx::host

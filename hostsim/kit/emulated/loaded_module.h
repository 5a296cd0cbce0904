// One 32-bit Windows DLL loaded into an emulated process of its own, the way
// a Windows loader loads it, one named step each: the image mapped at its
// relative addresses and relocated, its imports resolved from what the
// emulated process provides (anything else refused by name), its pages
// protected, its thread storage set up and its callbacks and entry point run
// (the C runtime's start-up and DllMain); unloading runs them again to
// detach. As LoadLibrary does, loading a file that is already loaded gives
// the module already there: the library's state is one per process.
#pragma once

#include "hostsim/kit/emulated/guest_process.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dvx::host::guest {

class PeImage;

class LoadedModule {
public:
    // The module of the file at `path`: the one already loaded, or a new
    // one at `base` (0: its preferred base, where that is free). Throws
    // std::runtime_error saying what is wrong with the file or its start-up.
    static std::shared_ptr<LoadedModule> Open(const std::filesystem::path& path, uint32_t base);

    LoadedModule(const std::filesystem::path& path, uint32_t base);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    GuestProcess& Process() { return *process_; }
    const GuestProcess& Process() const { return *process_; }
    uint32_t Base() const { return base_; }
    // The address of the export `name`, or 0.
    uint32_t Export(const std::string& name) const;
    size_t StartupAllocations() const { return startupAllocations_; }

    // The trap entry of each host callback the library was given.
    std::map<const void*, uint32_t> callbackEntries;

private:
    void Load(const std::filesystem::path& path, uint32_t requestedBase);
    void ResolveImports(const PeImage& image);
    void ProtectSections(const PeImage& image);
    void StartThreadStorage(const PeImage& image);
    void RunStartup(const PeImage& image);
    void Detach();

    std::unique_ptr<GuestProcess> process_;
    uint32_t base_ = 0;
    uint32_t entry_ = 0;
    std::vector<uint32_t> tlsCallbacks_;
    bool attached_ = false;
    size_t startupAllocations_ = 0;
};

} // namespace dvx::host::guest

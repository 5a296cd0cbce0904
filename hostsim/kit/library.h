// A component library as the host kit drives it: the five exports behind one
// interface, whether the library runs natively (dlopen, LoadLibraryW) or on
// an emulated i386 CPU (a 32-bit Windows DLL on a machine that cannot run
// it). Every caller and every test drives both alike.
#pragma once

#include "host/boundary.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace dvx::host {

class ComponentLibrary {
public:
    virtual ~ComponentLibrary() = default;
    ComponentLibrary(const ComponentLibrary&) = delete;
    ComponentLibrary& operator=(const ComponentLibrary&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // How the library runs, for people: "native" or "emulated i386 CPU ...".
    virtual std::string Backend() const = 0;
    virtual bool Emulated() const = 0;

    // The five exports. Pointers are the host's own: an emulated library
    // gets copies of what they point to in its memory, and the results
    // copied back. Callbacks are host functions.
    virtual int32_t GetVersionNumber() const = 0;
    virtual int32_t ModelOptions() const = 0;
    virtual int32_t Init(HostMessageCallback message, HostQueryCallback query, ModelDescriptor* descriptor) const = 0;
    // The catalogue record as the host reads it (in the library's memory),
    // or null.
    virtual const NodeInfo* ListNodeInfo(int32_t index) const = 0;
    virtual int32_t Main(int32_t callType, char* text, double* in, double* out, DvxHandle instanceHandle,
                         DvxHandle interfaceHandle) const = 0;

    // Exports beyond the five, which test builds offer: cdecl functions of
    // up to four 32-bit integers that return one (what a function that
    // returns nothing gives means nothing). CallExport throws
    // std::runtime_error when the library lacks `name`.
    virtual bool HasExport(const char* name) const = 0;
    virtual int32_t CallExport(const char* name, std::span<const int32_t> arguments) const = 0;

    // Where the host reads `bytes` (0: a NUL-terminated text) at an address
    // the library wrote into a record (a pointer field, 32 bits wide in a
    // 32-bit library): null for address 0, and for an address the host
    // cannot read in the library's memory kNotALibraryAddress.
    virtual const void* HostView(uint64_t address, size_t bytes) const = 0;
    virtual unsigned PointerBits() const = 0;

protected:
    explicit ComponentLibrary(std::filesystem::path path) : path_(std::move(path)) {}

private:
    std::filesystem::path path_;
};

// What HostView answers for an address the host cannot read.
extern const char kNotALibraryAddress[];

// Loads the library at `path`: a 32-bit Windows DLL (PE32, i386) on the
// emulated CPU where this host is not itself a 32-bit Windows program, any
// other file natively. Throws std::runtime_error naming the path when the
// library cannot be loaded, lacks one of the five exports or (emulated)
// imports what the emulation does not provide.
std::unique_ptr<ComponentLibrary> LoadComponentLibrary(const std::filesystem::path& path);

// The folder of the running program: test programs and the host tool find
// the library they were built with next to themselves.
std::filesystem::path ProgramDirectory();

// Dolvanex.so or Dolvanex.dll (or another base name) next to the program,
// or, where DVX_COMPONENT_DIR names a folder, in that folder: the suites run
// against the Windows build's DLL that way.
std::filesystem::path LibraryBesideProgram(const std::string& baseName = "Dolvanex");

} // namespace dvx::host

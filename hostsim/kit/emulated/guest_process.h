// The Windows process around one emulated library: its thread's blocks, the
// C runtime's heap and data, the modules the library may name, and the
// functions of KERNEL32.dll and msvcrt.dll that it imports, each a trap
// entry served by the host (or, where the function calls back into the
// library, a few instructions of guest code).
#pragma once

#include "hostsim/kit/emulated/machine.h"
#include "hostsim/kit/emulated/range_heap.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dvx::host::guest {

class GuestProcess;

// One call of an imported function, as its host implementation sees it.
class ApiCall {
public:
    ApiCall(GuestProcess& owner, const char* function) : process(owner), name(function) {}

    uint32_t Arg(unsigned i) const;
    int32_t SignedArg(unsigned i) const { return static_cast<int32_t>(Arg(i)); }
    // Argument i as a pointer to `bytes` bytes in host memory: null for a
    // null pointer; a GuestFault naming the function where they are not all
    // mapped.
    void* Bytes(unsigned i, size_t bytes) const;
    // Argument i as a NUL-terminated text (null for a null pointer).
    const char* Text(unsigned i) const;
    [[noreturn]] void Fail(const std::string& what) const;

    GuestProcess& process;
    const char* name;
};

struct ApiFunction {
    const char* name;
    uint16_t popBytes;              // arguments the function removes (stdcall), 0 for cdecl
    uint32_t (*run)(ApiCall& call); // the host's implementation, or null for guest code
    std::span<const uint8_t> code;  // guest code, where `run` is null
};

// The functions a DLL's start-up and the component import, and the runtime's
// data objects (their guest addresses are the imports' values).
std::span<const ApiFunction> Kernel32Functions();
std::span<const ApiFunction> MsvcrtFunctions();
struct ApiData {
    const char* name;
    uint32_t (*address)(const GuestProcess& process);
};
std::span<const ApiData> MsvcrtData();

// Windows error codes the imports set.
enum : uint32_t {
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorInvalidParameter = 87,
    kErrorInsufficientBuffer = 122,
    kErrorModNotFound = 126,
    kErrorProcNotFound = 127,
    kErrorDiscarded = 157,
    kErrorNotLocked = 158,
    kErrorInvalidAddress = 487,
};

class GuestProcess {
public:
    GuestProcess();

    Machine machine;
    RangeHeap heap{layout::kHeap, layout::kHeapSize};

    // The thread block (FS), the process block, the runtime's data.
    static constexpr uint32_t kTeb = layout::kSystem;
    static constexpr uint32_t kPeb = layout::kSystem + 0x1000;
    static constexpr uint32_t kThreadId = 0x1004, kProcessId = 0x1000;
    static constexpr unsigned kTlsSlots = 64;
    static constexpr uint32_t kIob = layout::kSystem + 0x3000;    // 20 FILE records of 32 bytes
    static constexpr unsigned kIobEntries = 20;
    static constexpr uint32_t kMbCurMax = layout::kSystem + 0x3300;
    static constexpr uint32_t kErrno = layout::kSystem + 0x3304;
    static constexpr uint32_t kLconv = layout::kSystem + 0x3320;
    static constexpr uint32_t kTexts = layout::kSystem + 0x3400;  // the C locale's texts: ".", "", "C"
    static constexpr uint32_t kCLocaleName = kTexts + 4;
    static constexpr uint32_t kMessage = layout::kSystem + 0x3500; // strerror's text, 256 bytes
    static constexpr uint32_t kTlsArray = layout::kSystem + 0x3800;

    uint32_t LastError() const { return machine.Read32(kTeb + 0x34); }
    void SetLastError(uint32_t error) { machine.Write32(kTeb + 0x34, error); }
    void SetErrno(int32_t value) { machine.Write32(kErrno, static_cast<uint32_t>(value)); }

    // Modules: the two the library imports from (handles that map no
    // memory; their functions are the trap entries) and the loaded image.
    struct Module {
        std::string name; // lower case, with its extension
        uint32_t handle = 0;
        std::map<std::string, uint32_t> exports; // name -> address
        std::map<uint32_t, uint32_t> byOrdinal;
    };
    std::vector<Module> modules;
    // The handle of a module named as LoadLibrary and GetModuleHandle take
    // it (any case, a path, no extension meaning ".dll"), or 0.
    uint32_t ModuleHandle(std::string_view name) const;
    const Module* ModuleAt(uint32_t handle) const;
    // The address of an import, or 0 when the process does not provide it.
    uint32_t Provided(std::string_view dll, std::string_view name) const;

    // Windows protections (PAGE_*) of the image's pages, for VirtualQuery
    // and VirtualProtect.
    std::map<uint32_t, uint32_t> pageProtection;
    uint32_t imageBase = 0, imageSize = 0;

    // Bytes the library writes to stdout or stderr go to the host's.
    bool WriteStream(uint32_t file, const void* bytes, size_t count);

    // DVX_EMULATION_TRACE=1: every import call on the host's stderr.
    bool trace = false;

private:
    void WriteThreadBlocks();
    void WriteRuntimeData();
    void BindFunctions(const char* dll, std::span<const ApiFunction> functions);

    std::map<std::string, uint32_t> provided_; // "dll!name" -> address
};

// The guest's printf: `format` with the arguments of a va_list at `args`.
std::string FormatGuest(const Machine& machine, const char* format, uint32_t args);

} // namespace dvx::host::guest

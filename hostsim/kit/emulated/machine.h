// An emulated i386 CPU (Unicorn) with a 32-bit address space whose memory is
// host memory: what the guest reads and writes at a guest address lies at a
// host address the host reads and writes directly. A 32-bit Windows thread
// runs on it: flat code and data segments, FS selecting its thread block,
// one stack. The host calls guest functions, and the guest calls the host
// through trap entries: addresses whose execution runs a host handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

struct uc_struct;

namespace dvx::host::guest {

// Where things lie in the guest's address space.
namespace layout {
constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kTrapPage = 0x00010000;  // trap entries, then guest code stubs
constexpr uint32_t kTrapEntries = 0x800;    // bytes of trap entries (4 each); the page's rest is code
constexpr uint32_t kCallExit = kTrapPage; // a call from the host returns here, to the first trap entry
constexpr uint32_t kSystem = 0x00011000;    // thread and process blocks, descriptor table, runtime data
constexpr uint32_t kSystemSize = 0xf000;
constexpr uint32_t kArguments = 0x00020000; // copies of the host's arguments of one call
constexpr uint32_t kArgumentsSize = 0x00100000;
constexpr uint32_t kStackBottom = 0x00200000;
constexpr uint32_t kStackTop = 0x00300000;
constexpr uint32_t kHeap = 0x01000000; // the C runtime's heap
constexpr uint32_t kHeapSize = 0x0f000000;
constexpr uint32_t kImageLow = 0x10000000; // images lie at or above, outside the window
constexpr uint32_t kWindow = 0x40000000;   // the host's memory blocks, shared by every guest
constexpr uint32_t kWindowSize = 0x20000000;
constexpr uint32_t kPrivateEnd = 0x7fff0000; // the end of a 32-bit Windows process's own space
} // namespace layout

// Memory protections, as Unicorn numbers them.
enum : uint32_t { kProtRead = 1, kProtWrite = 2, kProtExec = 4 };

// Something the guest did that a real CPU or Windows would not let pass: a
// fault, a call the host cannot serve, an abort. Ends the current call.
class GuestFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The floating-point control state of a thread: the x87 control word and
// MXCSR (as a program starts, by default).
struct FpControl {
    uint16_t x87 = 0x037f;
    uint32_t mxcsr = 0x1f80;
    bool operator==(const FpControl&) const = default;
};
FpControl HostFpControl();
void SetHostFpControl(const FpControl& control);
// MXCSR's status flags (bits 0 to 5), which arithmetic raises.
constexpr uint32_t kMxcsrFlags = 0x3f;

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Memory. Map makes [guest, guest + size) usable (page-aligned, zeroed,
    // in the host's reservation); MapShared maps host memory the caller
    // keeps (the shared block window).
    void Map(uint32_t guest, uint32_t size, uint32_t prot, const std::string& name);
    void MapShared(uint32_t guest, uint32_t size, void* host, const std::string& name);
    void Protect(uint32_t guest, uint32_t size, uint32_t prot);
    // The host address of [guest, guest + bytes), or null where that is not
    // all within one mapped region.
    void* Host(uint32_t guest, size_t bytes) const;
    // The guest address of host memory that a region maps, or 0.
    uint32_t Guest(const void* host, size_t bytes) const;
    // The text at `guest` when its terminator lies within the same region.
    const char* Text(uint32_t guest) const;
    uint32_t Read32(uint32_t guest) const;
    void Write32(uint32_t guest, uint32_t value);
    struct Region {
        uint32_t guest, size;
        uint8_t* host;
        std::string name;
    };
    const std::vector<Region>& Regions() const { return regions_; }

    // Traps. AddTrap places an entry that, executed, runs `handler` with
    // the guest's stack as the call left it (ESP at the return address),
    // puts its result in EAX and returns, popping `popBytes` of arguments
    // (stdcall) or none (cdecl). A handler that stands for the host's own
    // code (a callback) runs in the guest's floating-point modes, as it
    // would on one CPU, and leaves its changes to them in the guest.
    // AddCode places guest code. Both return its address.
    using Handler = std::function<uint32_t()>;
    enum class Modes { Emulator, Guest };
    uint32_t AddTrap(uint16_t popBytes, Handler handler, Modes modes = Modes::Emulator);
    uint32_t AddCode(std::span<const uint8_t> code);
    // The i-th 32-bit argument of the call a trap handler serves.
    uint32_t Argument(unsigned i) const;

    // Calls the guest function at `function` with 32-bit `arguments` on the
    // stack (cdecl or stdcall alike) and returns EAX. The host's
    // floating-point control state is the guest's for the call, and the
    // control state the guest leaves is the host's afterwards, as on one
    // real CPU. The status flags stay the host's: the emulator does not keep
    // MXCSR's flags as a CPU does (an ldmxcsr does not clear those its own
    // arithmetic raised), so a library that clears what it raised would
    // otherwise seem not to. Throws GuestFault when the guest faults or a
    // handler fails.
    uint32_t Call(uint32_t function, std::span<const uint32_t> arguments);
    bool Running() const { return running_; }

    // Sets the thread block that FS selects (before the first call).
    void SetThreadBlock(uint32_t teb);

private:
    static void OnTrap(uc_struct* uc, uint64_t address, uint32_t size, void* self);
    static bool OnInvalidAccess(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);
    void RunTrap(uint32_t address);
    void Check(int error, const char* what) const;
    std::string DescribeStop(int error) const;
    void WriteDescriptors(uint32_t teb);
    FpControl GuestFpControl() const;
    void SetGuestFpControl(const FpControl& control);

    uc_struct* uc_ = nullptr;
    uint8_t* reservation_ = nullptr; // host memory of guest addresses [0, kPrivateEnd)
    std::vector<Region> regions_;
    struct Trap {
        Handler handler;
        Modes modes;
    };
    std::vector<Trap> traps_;
    uint32_t codeEnd_ = layout::kTrapPage + layout::kTrapEntries;
    bool running_ = false;
    bool returned_ = false; // the current call reached kCallExit
    std::string fault_; // what a handler reported during the current call
    int accessType_ = -1; // the invalid access of the current call, if any
    uint32_t accessAddress_ = 0;
};

} // namespace dvx::host::guest

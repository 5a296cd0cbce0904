#include "hostsim/kit/emulated/machine.h"

#include "hostsim/kit/emulated/unicorn_api.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace dvx::host::guest {

namespace {

// Segment selectors of the flat code and data segments and of the thread
// block's segment, all ring 0 (the emulation runs at ring 0).
constexpr uint32_t kCodeSelector = 0x08, kDataSelector = 0x10, kThreadSelector = 0x18;
constexpr uint32_t kDescriptorTable = layout::kSystem + 0x2000;

// A segment descriptor: base, limit (in pages when `flags` has G), access
// byte (present, ring, type) and flags (G, 32-bit).
uint64_t Descriptor(uint32_t base, uint32_t limit, uint8_t access, uint8_t flags) {
    uint64_t d = limit & 0xffffu;
    d |= static_cast<uint64_t>(base & 0xffffffu) << 16;
    d |= static_cast<uint64_t>(access) << 40;
    d |= static_cast<uint64_t>((limit >> 16) & 0xfu) << 48;
    d |= static_cast<uint64_t>(flags & 0xfu) << 52;
    d |= static_cast<uint64_t>(base >> 24) << 56;
    return d;
}

uint32_t PageUp(uint32_t bytes) { return (bytes + layout::kPage - 1) & ~(layout::kPage - 1); }

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

Machine::Machine() {
    Check(Unicorn().open(UC_ARCH_X86, UC_MODE_32, &uc_), "starting the emulated CPU");
    void* reserved = mmap(nullptr, layout::kPrivateEnd, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        Unicorn().close(uc_);
        throw std::bad_alloc();
    }
    reservation_ = static_cast<uint8_t*>(reserved);
    try {
        Map(layout::kTrapPage, layout::kPage, kProtRead | kProtExec, "trap entries");
        Map(layout::kSystem, layout::kSystemSize, kProtRead | kProtWrite, "system data");
        Map(layout::kArguments, layout::kArgumentsSize, kProtRead | kProtWrite, "call arguments");
        Map(layout::kStackBottom, layout::kStackTop - layout::kStackBottom, kProtRead | kProtWrite, "stack");
        Map(layout::kHeap, layout::kHeapSize, kProtRead | kProtWrite, "heap");
        // A call from the host returns to the exit entry, whose trap stops
        // the emulation (the hlt there is never reached).
        static_cast<uint8_t*>(Host(layout::kCallExit, 1))[0] = 0xf4; // hlt
        uc_hook hook{};
        const UnicornApi& api = Unicorn();
        Check(api.hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Machine::OnTrap), this,
                           layout::kTrapPage, layout::kTrapPage + layout::kTrapEntries - 1),
              "setting the trap hook");
        // Called only when an access faults: it costs nothing otherwise.
        Check(api.hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Machine::OnInvalidAccess), this,
                           1, 0),
              "setting the fault hook");
    } catch (...) {
        Unicorn().close(uc_);
        munmap(reservation_, layout::kPrivateEnd);
        throw;
    }
}

Machine::~Machine() {
    Unicorn().close(uc_);
    munmap(reservation_, layout::kPrivateEnd);
}

void Machine::Check(int error, const char* what) const {
    if (error != UC_ERR_OK)
        throw GuestFault(std::string(what) + ": " + Unicorn().strerror(static_cast<uc_err>(error)));
}

void Machine::Map(uint32_t guest, uint32_t size, uint32_t prot, const std::string& name) {
    size = PageUp(size);
    const bool overlapsWindow = guest < layout::kWindow + layout::kWindowSize && guest + uint64_t{size} > layout::kWindow;
    if (guest % layout::kPage != 0 || guest >= layout::kPrivateEnd || layout::kPrivateEnd - guest < size || overlapsWindow)
        throw GuestFault("no room for " + name + " at " + Hex(guest));
    uint8_t* host = reservation_ + guest;
    if (mprotect(host, size, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
    Check(Unicorn().mem_map_ptr(uc_, guest, size, prot, host), ("mapping " + name).c_str());
    regions_.push_back({guest, size, host, name});
}

void Machine::MapShared(uint32_t guest, uint32_t size, void* host, const std::string& name) {
    Check(Unicorn().mem_map_ptr(uc_, guest, size, kProtRead | kProtWrite, host), ("mapping " + name).c_str());
    regions_.push_back({guest, size, static_cast<uint8_t*>(host), name});
}

void Machine::Protect(uint32_t guest, uint32_t size, uint32_t prot) {
    Check(Unicorn().mem_protect(uc_, guest, PageUp(size), prot), "changing a page's protection");
}

void* Machine::Host(uint32_t guest, size_t bytes) const {
    for (const Region& r : regions_) {
        const uint32_t offset = guest - r.guest;
        if (guest >= r.guest && offset < r.size && bytes <= r.size - offset) return r.host + offset;
    }
    return nullptr;
}

uint32_t Machine::Guest(const void* host, size_t bytes) const {
    const auto* p = static_cast<const uint8_t*>(host);
    for (const Region& r : regions_) {
        if (p >= r.host && p < r.host + r.size && bytes <= static_cast<size_t>(r.host + r.size - p))
            return r.guest + static_cast<uint32_t>(p - r.host);
    }
    return 0;
}

const char* Machine::Text(uint32_t guest) const {
    for (const Region& r : regions_) {
        const uint32_t offset = guest - r.guest;
        if (guest < r.guest || offset >= r.size) continue;
        const char* start = reinterpret_cast<const char*>(r.host + offset);
        return memchr(start, '\0', r.size - offset) != nullptr ? start : nullptr;
    }
    return nullptr;
}

uint32_t Machine::Read32(uint32_t guest) const {
    const void* at = Host(guest, 4);
    if (at == nullptr) throw GuestFault("a read of unmapped memory at " + Hex(guest));
    uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void Machine::Write32(uint32_t guest, uint32_t value) {
    void* at = Host(guest, 4);
    if (at == nullptr) throw GuestFault("a write of unmapped memory at " + Hex(guest));
    std::memcpy(at, &value, sizeof value);
}

uint32_t Machine::AddTrap(uint16_t popBytes, Handler handler, Modes modes) {
    const uint32_t address = layout::kCallExit + 4 + 4 * static_cast<uint32_t>(traps_.size());
    if (address + 4 > layout::kTrapPage + layout::kTrapEntries) throw GuestFault("no room for another trap entry");
    auto* code = static_cast<uint8_t*>(Host(address, 4));
    if (popBytes == 0) {
        code[0] = 0xc3; // ret
    } else {
        code[0] = 0xc2; // ret imm16
        code[1] = static_cast<uint8_t>(popBytes & 0xff);
        code[2] = static_cast<uint8_t>(popBytes >> 8);
    }
    traps_.push_back({std::move(handler), modes});
    return address;
}

uint32_t Machine::AddCode(std::span<const uint8_t> code) {
    const uint32_t address = codeEnd_;
    if (address + code.size() > layout::kTrapPage + layout::kPage) throw GuestFault("no room for more guest code");
    std::memcpy(Host(address, code.size()), code.data(), code.size());
    codeEnd_ = (address + static_cast<uint32_t>(code.size()) + 15) & ~15u;
    return address;
}

uint32_t Machine::Argument(unsigned i) const {
    uint32_t esp = 0;
    Unicorn().reg_read(uc_, UC_X86_REG_ESP, &esp);
    return Read32(esp + 4 + 4 * i);
}

// Runs before the trap entry's ret: the handler's result goes to EAX, and a
// handler that fails stops the emulation, which Call turns into a
// GuestFault. Nothing may unwind through the emulator's own frames.
void Machine::OnTrap(uc_struct* uc, uint64_t address, uint32_t, void* self) {
    auto* machine = static_cast<Machine*>(self);
    try {
        machine->RunTrap(static_cast<uint32_t>(address));
    } catch (const std::exception& e) {
        machine->fault_ = e.what();
        Unicorn().emu_stop(uc);
    } catch (...) {
        machine->fault_ = "a host handler failed";
        Unicorn().emu_stop(uc);
    }
}

void Machine::RunTrap(uint32_t address) {
    if (address == layout::kCallExit) {
        returned_ = true;
        Unicorn().emu_stop(uc_);
        return;
    }
    const uint32_t index = (address - layout::kCallExit) / 4 - 1;
    if (address % 4 != 0 || index >= traps_.size()) throw GuestFault("a jump into the trap page at " + Hex(address));
    const Trap& trap = traps_[index];
    uint32_t result = 0;
    if (trap.modes == Modes::Guest) {
        const FpControl guest = GuestFpControl();
        SetHostFpControl(guest);
        try {
            result = trap.handler();
        } catch (...) {
            SetHostFpControl(FpControl{});
            throw;
        }
        const FpControl after = HostFpControl();
        SetHostFpControl(FpControl{});
        if (!(after == guest)) SetGuestFpControl(after);
    } else {
        result = trap.handler();
    }
    Unicorn().reg_write(uc_, UC_X86_REG_EAX, &result);
}

FpControl Machine::GuestFpControl() const {
    FpControl control;
    Unicorn().reg_read(uc_, UC_X86_REG_FPCW, &control.x87);
    Unicorn().reg_read(uc_, UC_X86_REG_MXCSR, &control.mxcsr);
    return control;
}

void Machine::SetGuestFpControl(const FpControl& control) {
    Unicorn().reg_write(uc_, UC_X86_REG_FPCW, &control.x87);
    Unicorn().reg_write(uc_, UC_X86_REG_MXCSR, &control.mxcsr);
}

void Machine::SetThreadBlock(uint32_t teb) { WriteDescriptors(teb); }

void Machine::WriteDescriptors(uint32_t teb) {
    const uint64_t table[] = {
        0,
        Descriptor(0, 0xfffff, 0x9b, 0xc), // code: present, ring 0, execute/read; 4 KiB units, 32-bit
        Descriptor(0, 0xfffff, 0x93, 0xc), // data: present, ring 0, read/write
        Descriptor(teb, 0xfff, 0x93, 0x4), // the thread block, one page, in bytes
    };
    std::memcpy(Host(kDescriptorTable, sizeof table), table, sizeof table);
    uc_x86_mmr gdtr{};
    gdtr.base = kDescriptorTable;
    gdtr.limit = sizeof table - 1;
    Check(Unicorn().reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "loading the descriptor table");
    const struct {
        int reg;
        uint32_t selector;
    } segments[] = {{UC_X86_REG_SS, kDataSelector}, {UC_X86_REG_DS, kDataSelector}, {UC_X86_REG_ES, kDataSelector},
                    {UC_X86_REG_GS, kDataSelector}, {UC_X86_REG_FS, kThreadSelector}, {UC_X86_REG_CS, kCodeSelector}};
    for (const auto& s : segments) Check(Unicorn().reg_write(uc_, s.reg, &s.selector), "loading a segment register");
}

// Records the access that faults; the emulation then stops with its error.
bool Machine::OnInvalidAccess(uc_struct*, int type, uint64_t address, int, int64_t, void* self) {
    auto* machine = static_cast<Machine*>(self);
    machine->accessType_ = type;
    machine->accessAddress_ = static_cast<uint32_t>(address);
    return false;
}

std::string Machine::DescribeStop(int error) const {
    uint32_t eip = 0;
    Unicorn().reg_read(uc_, UC_X86_REG_EIP, &eip);
    std::string what;
    switch (accessType_) {
    case UC_MEM_READ_UNMAPPED: what = "a read of unmapped memory"; break;
    case UC_MEM_WRITE_UNMAPPED: what = "a write to unmapped memory"; break;
    case UC_MEM_FETCH_UNMAPPED: what = "a fetch from unmapped memory"; break;
    case UC_MEM_READ_PROT: what = "a read of protected memory"; break;
    case UC_MEM_WRITE_PROT: what = "a write to protected memory"; break;
    case UC_MEM_FETCH_PROT: what = "a fetch from memory that is not executable"; break;
    default: break;
    }
    if (!what.empty()) return what + " at " + Hex(accessAddress_) + " (EIP " + Hex(eip) + ")";
    if (error == UC_ERR_INSN_INVALID) return "an invalid instruction at " + Hex(eip);
    return std::string(Unicorn().strerror(static_cast<uc_err>(error))) + " at " + Hex(eip);
}

uint32_t Machine::Call(uint32_t function, std::span<const uint32_t> arguments) {
    if (running_) throw GuestFault("a call into the library from inside one of its own calls");
    // The arguments, then the return address, with the stack 16-byte
    // aligned at the call as a compiler's caller leaves it.
    uint32_t esp = layout::kStackTop - 64;
    esp -= 4 * static_cast<uint32_t>(arguments.size());
    esp &= ~15u;
    for (size_t i = 0; i < arguments.size(); ++i) Write32(esp + 4 * static_cast<uint32_t>(i), arguments[i]);
    esp -= 4;
    Write32(esp, layout::kCallExit);
    const uint32_t ebp = 0;
    Unicorn().reg_write(uc_, UC_X86_REG_ESP, &esp);
    Unicorn().reg_write(uc_, UC_X86_REG_EBP, &ebp);

    // The host's modes are the guest's; the emulator itself computes in a
    // fresh program's modes, for its floating-point emulation does some
    // operations on the host's own unit (QEMU's "hardfloat"), where the
    // host's DAZ or FTZ would change the guest's results.
    const FpControl host = HostFpControl();
    SetGuestFpControl(host);
    SetHostFpControl(FpControl{});
    fault_.clear();
    accessType_ = -1;
    returned_ = false;
    running_ = true;
    // The exit trap stops the run, and Unicorn's own end address is 0,
    // which never holds code. Unicorn 2.0 drops the translations at any
    // other end address after every run: costly (most of a call's time),
    // and in the trap page, among the blocks of thousands of runs, it trips
    // an assertion of its translation cache.
    const int error = Unicorn().emu_start(uc_, function, 0, 0, 0);
    running_ = false;
    FpControl after = GuestFpControl();
    after.mxcsr = (after.mxcsr & ~kMxcsrFlags) | (host.mxcsr & kMxcsrFlags);
    SetHostFpControl(after);

    if (!fault_.empty()) throw GuestFault(fault_);
    if (error != UC_ERR_OK) throw GuestFault(DescribeStop(error));
    if (!returned_) {
        uint32_t eip = 0;
        Unicorn().reg_read(uc_, UC_X86_REG_EIP, &eip);
        // Unicorn's own end address is 0: a jump there ends the run.
        if (eip == 0) throw GuestFault("a jump to address 0 (a call through a null function pointer)");
        throw GuestFault("the call stopped at " + Hex(eip) + " before it returned");
    }
    uint32_t eax = 0;
    Unicorn().reg_read(uc_, UC_X86_REG_EAX, &eax);
    return eax;
}

} // namespace dvx::host::guest

// The KERNEL32.dll functions an emulated library imports, with the results
// and last-error codes Windows documents for them. All are stdcall. The
// library runs on one thread, so a critical section only counts its
// recursion; movable memory is the kit's own memory-handle layer, so that the
// lock counts the host checks are the ones the library's calls change.
#include "hostsim/kit/emulated/block_window.h"
#include "hostsim/kit/emulated/guest_process.h"
#include "hostsim/kit/emulated/text_codes.h"
#include "platform/memory.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace dvx::host::guest {

namespace {

// CRITICAL_SECTION: DebugInfo, LockCount, RecursionCount, OwningThread,
// LockSemaphore, SpinCount.
constexpr size_t kCriticalSectionBytes = 24;

uint32_t InitializeCriticalSection(ApiCall& c) {
    auto* cs = static_cast<int32_t*>(c.Bytes(0, kCriticalSectionBytes));
    if (cs == nullptr) c.Fail("a null critical section");
    const int32_t fresh[6] = {0, -1, 0, 0, 0, 0};
    std::memcpy(cs, fresh, sizeof fresh);
    return 0;
}

uint32_t EnterCriticalSection(ApiCall& c) {
    auto* cs = static_cast<int32_t*>(c.Bytes(0, kCriticalSectionBytes));
    if (cs == nullptr) c.Fail("a null critical section");
    if (cs[2] != 0 && static_cast<uint32_t>(cs[3]) != GuestProcess::kThreadId)
        c.Fail("a critical section held by a thread that does not exist");
    ++cs[1];
    ++cs[2];
    cs[3] = static_cast<int32_t>(GuestProcess::kThreadId);
    return 0;
}

uint32_t LeaveCriticalSection(ApiCall& c) {
    auto* cs = static_cast<int32_t*>(c.Bytes(0, kCriticalSectionBytes));
    if (cs == nullptr || cs[2] <= 0) c.Fail("leaving a critical section that is not held");
    --cs[1];
    if (--cs[2] == 0) cs[3] = 0;
    return 0;
}

uint32_t DeleteCriticalSection(ApiCall& c) {
    if (void* cs = c.Bytes(0, kCriticalSectionBytes)) std::memset(cs, 0, kCriticalSectionBytes);
    return 0;
}

uint32_t GetLastError(ApiCall& c) { return c.process.LastError(); }

uint32_t SetLastError(ApiCall& c) {
    c.process.SetLastError(c.Arg(0));
    return 0;
}

// A module named in ANSI or UTF-16 text; null names the program itself,
// which here is no module the library can look into.
uint32_t ModuleByName(ApiCall& c, const std::string& name) {
    const uint32_t handle = c.process.ModuleHandle(name);
    if (handle == 0) c.process.SetLastError(kErrorModNotFound);
    return handle;
}

uint32_t GetModuleHandleA(ApiCall& c) {
    const char* name = c.Text(0);
    if (name == nullptr) {
        c.process.SetLastError(kErrorModNotFound);
        return 0;
    }
    return ModuleByName(c, name);
}

uint32_t GetModuleHandleW(ApiCall& c) {
    const uint32_t address = c.Arg(0);
    if (address == 0) {
        c.process.SetLastError(kErrorModNotFound);
        return 0;
    }
    const std::u16string wide = ReadWideText(c.process.machine, address);
    std::string narrow;
    for (char16_t ch : wide) narrow.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
    return ModuleByName(c, narrow);
}

uint32_t LoadLibraryA(ApiCall& c) {
    const char* name = c.Text(0);
    if (name == nullptr) {
        c.process.SetLastError(kErrorInvalidParameter);
        return 0;
    }
    return ModuleByName(c, name);
}

uint32_t FreeLibrary(ApiCall& c) {
    if (c.process.ModuleAt(c.Arg(0)) != nullptr) return 1;
    c.process.SetLastError(kErrorInvalidHandle);
    return 0;
}

uint32_t GetProcAddress(ApiCall& c) {
    const GuestProcess::Module* module = c.process.ModuleAt(c.Arg(0));
    if (module == nullptr) {
        c.process.SetLastError(kErrorModNotFound);
        return 0;
    }
    uint32_t address = 0;
    if (c.Arg(1) <= 0xffff) { // an ordinal
        auto found = module->byOrdinal.find(c.Arg(1));
        if (found != module->byOrdinal.end()) address = found->second;
    } else {
        const std::string name = c.Text(1);
        auto found = module->exports.find(name);
        address = found != module->exports.end() ? found->second : c.process.Provided(module->name, name);
    }
    if (address == 0) c.process.SetLastError(kErrorProcNotFound);
    return address;
}

uint32_t GlobalLock(ApiCall& c) {
    const uint32_t handle = c.Arg(0);
    void* data = ::GlobalLock(handle);
    if (data == nullptr) {
        c.process.SetLastError(::GlobalFlags(handle) == GMEM_INVALID_HANDLE ? kErrorInvalidHandle : kErrorDiscarded);
        return 0;
    }
    const uint32_t guest = BlockWindow::Instance().GuestOf(data, std::max<size_t>(::GlobalSize(handle), 1));
    if (guest == 0) { // a block from before the window: the library cannot see it
        ::GlobalUnlock(handle);
        c.process.SetLastError(kErrorInvalidHandle);
    }
    return guest;
}

uint32_t GlobalUnlock(ApiCall& c) {
    const uint32_t handle = c.Arg(0);
    const unsigned flags = ::GlobalFlags(handle);
    if (flags == GMEM_INVALID_HANDLE) {
        c.process.SetLastError(kErrorInvalidHandle);
        return 0;
    }
    if ((flags & GMEM_LOCKCOUNT) == 0) {
        c.process.SetLastError(kErrorNotLocked);
        return 0;
    }
    const int stillLocked = ::GlobalUnlock(handle);
    if (stillLocked == 0) c.process.SetLastError(0);
    return stillLocked != 0 ? 1 : 0;
}

// A block whose size is not kept stands for memory kernel32 did not
// allocate: its size reads 0 with the last error set, as Windows does.
uint32_t GlobalSize(ApiCall& c) {
    const uint32_t handle = c.Arg(0);
    const size_t size = ::GlobalSize(handle);
    if (size == 0) {
        const unsigned flags = ::GlobalFlags(handle);
        if (flags == GMEM_INVALID_HANDLE || (flags & GMEM_DISCARDED) == 0) c.process.SetLastError(kErrorInvalidHandle);
    }
    return static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX));
}

uint32_t Sleep(ApiCall& c) {
    const uint32_t ms = c.Arg(0);
    if (ms == 0xffffffffu) c.Fail("sleeping for ever on the library's only thread");
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}

uint32_t TlsGetValue(ApiCall& c) {
    const uint32_t index = c.Arg(0);
    if (index >= GuestProcess::kTlsSlots) {
        c.process.SetLastError(kErrorInvalidParameter);
        return 0;
    }
    c.process.SetLastError(0);
    return c.process.machine.Read32(GuestProcess::kTeb + 0xe10 + 4 * index);
}

uint32_t IsDBCSLeadByteEx(ApiCall& c) {
    // Every code page this process knows is a single-byte one or UTF-8,
    // which has no lead bytes in this sense.
    if (!KnownCodePage(c.Arg(0))) c.process.SetLastError(kErrorInvalidParameter);
    return 0;
}

constexpr uint16_t Words(int n) { return static_cast<uint16_t>(4 * n); }

const ApiFunction kFunctions[] = {
    {"DeleteCriticalSection", Words(1), &DeleteCriticalSection, {}},
    {"EnterCriticalSection", Words(1), &EnterCriticalSection, {}},
    {"FreeLibrary", Words(1), &FreeLibrary, {}},
    {"GetLastError", Words(0), &GetLastError, {}},
    {"GetModuleHandleA", Words(1), &GetModuleHandleA, {}},
    {"GetModuleHandleW", Words(1), &GetModuleHandleW, {}},
    {"GetProcAddress", Words(2), &GetProcAddress, {}},
    {"GlobalLock", Words(1), &GlobalLock, {}},
    {"GlobalSize", Words(1), &GlobalSize, {}},
    {"GlobalUnlock", Words(1), &GlobalUnlock, {}},
    {"InitializeCriticalSection", Words(1), &InitializeCriticalSection, {}},
    {"IsDBCSLeadByteEx", Words(2), &IsDBCSLeadByteEx, {}},
    {"LeaveCriticalSection", Words(1), &LeaveCriticalSection, {}},
    {"LoadLibraryA", Words(1), &LoadLibraryA, {}},
    {"MultiByteToWideChar", Words(6), &MultiByteToWideChar, {}},
    {"SetLastError", Words(1), &SetLastError, {}},
    {"Sleep", Words(1), &Sleep, {}},
    {"TlsGetValue", Words(1), &TlsGetValue, {}},
    {"VirtualProtect", Words(4), &VirtualProtect, {}},
    {"VirtualQuery", Words(3), &VirtualQuery, {}},
    {"WideCharToMultiByte", Words(8), &WideCharToMultiByte, {}},
};

} // namespace

std::span<const ApiFunction> Kernel32Functions() { return kFunctions; }

} // namespace dvx::host::guest

// The msvcrt.dll functions and data an emulated library imports: the C
// runtime's heap (the process's RangeHeap over the guest heap), its text
// functions, the C locale, stdout and stderr (the host's), and the start-up
// helpers of a DLL's runtime. All are cdecl. _initterm calls back into the
// library, so it is guest code rather than a trap.
#include "hostsim/kit/emulated/guest_process.h"
#include "hostsim/kit/emulated/text_codes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dvx::host::guest {

namespace {

constexpr int32_t kEnomem = 12;

uint32_t Allocate(GuestProcess& p, uint64_t bytes) {
    const uint32_t address = bytes > UINT32_MAX ? 0 : p.heap.Allocate(static_cast<uint32_t>(std::max<uint64_t>(bytes, 1)));
    if (address == 0) p.SetErrno(kEnomem);
    return address;
}

uint32_t Malloc(ApiCall& c) { return Allocate(c.process, c.Arg(0)); }

uint32_t Calloc(ApiCall& c) {
    const uint64_t bytes = uint64_t{c.Arg(0)} * c.Arg(1);
    const uint32_t address = Allocate(c.process, bytes);
    if (address != 0) std::memset(c.process.machine.Host(address, bytes), 0, bytes);
    return address;
}

uint32_t Free(ApiCall& c) {
    const uint32_t address = c.Arg(0);
    if (address != 0 && !c.process.heap.Release(address)) c.Fail("a pointer that malloc never gave out");
    return 0;
}

uint32_t Realloc(ApiCall& c) {
    GuestProcess& p = c.process;
    const uint32_t old = c.Arg(0), bytes = c.Arg(1);
    if (old == 0) return Allocate(p, bytes);
    const uint32_t oldSize = p.heap.SizeOf(old);
    if (oldSize == 0) c.Fail("a pointer that malloc never gave out");
    if (bytes == 0) {
        p.heap.Release(old);
        return 0;
    }
    const uint32_t moved = Allocate(p, bytes);
    if (moved == 0) return 0; // the old block stays as it was
    const uint32_t kept = std::min(oldSize, bytes);
    std::memcpy(p.machine.Host(moved, kept), p.machine.Host(old, kept), kept);
    p.heap.Release(old);
    return moved;
}

uint32_t Memcpy(ApiCall& c) {
    const uint32_t n = c.Arg(2);
    if (n != 0) std::memmove(c.Bytes(0, n), c.Bytes(1, n), n);
    return c.Arg(0);
}

uint32_t Memset(ApiCall& c) {
    const uint32_t n = c.Arg(2);
    if (n != 0) std::memset(c.Bytes(0, n), static_cast<int>(c.Arg(1) & 0xff), n);
    return c.Arg(0);
}

const char* NonNullText(ApiCall& c, unsigned i) {
    const char* text = c.Text(i);
    if (text == nullptr) c.Fail("a null text");
    return text;
}

uint32_t Strlen(ApiCall& c) { return static_cast<uint32_t>(std::strlen(NonNullText(c, 0))); }

uint32_t Strcpy(ApiCall& c) {
    const char* source = NonNullText(c, 1);
    const size_t bytes = std::strlen(source) + 1;
    void* target = c.Bytes(0, bytes);
    if (target == nullptr) c.Fail("a null target");
    std::memmove(target, source, bytes);
    return c.Arg(0);
}

uint32_t Wcslen(ApiCall& c) { return static_cast<uint32_t>(ReadWideText(c.process.machine, c.Arg(0)).size()); }

uint32_t Strchr(ApiCall& c) {
    const char* text = NonNullText(c, 0);
    const char* found = std::strchr(text, static_cast<char>(c.Arg(1) & 0xff));
    return found == nullptr ? 0 : c.Arg(0) + static_cast<uint32_t>(found - text);
}

uint32_t Sign(int difference) { return static_cast<uint32_t>(difference < 0 ? -1 : difference > 0 ? 1 : 0); }

uint32_t Strcmp(ApiCall& c) { return Sign(std::strcmp(NonNullText(c, 0), NonNullText(c, 1))); }

uint32_t Strncmp(ApiCall& c) {
    if (c.Arg(2) == 0) return 0;
    return Sign(std::strncmp(NonNullText(c, 0), NonNullText(c, 1), c.Arg(2)));
}

uint32_t Atoi(ApiCall& c) {
    const long long value = std::strtoll(NonNullText(c, 0), nullptr, 10);
    return static_cast<uint32_t>(static_cast<int32_t>(std::clamp<long long>(value, INT_MIN, INT_MAX)));
}

// Only the C locale exists: it can be asked for and set, nothing else.
uint32_t Setlocale(ApiCall& c) {
    if (c.Arg(0) > 5) return 0;
    const char* wanted = c.Text(1);
    if (wanted == nullptr || wanted[0] == '\0' || std::strcmp(wanted, "C") == 0) return GuestProcess::kCLocaleName;
    return 0;
}

uint32_t Localeconv(ApiCall&) { return GuestProcess::kLconv; }

uint32_t Errno(ApiCall&) { return GuestProcess::kErrno; }

// msvcrt's own texts for errno values.
const char* const kErrorTexts[] = {
    "No error", "Operation not permitted", "No such file or directory", "No such process",
    "Interrupted function call", "Input/output error", "No such device or address", "Arg list too long",
    "Exec format error", "Bad file descriptor", "No child processes", "Resource temporarily unavailable",
    "Not enough space", "Permission denied", "Bad address", "Unknown error", "Resource device", "File exists",
    "Improper link", "No such device", "Not a directory", "Is a directory", "Invalid argument",
    "Too many open files in system", "Too many open files", "Inappropriate I/O control operation",
    "Unknown error", "File too large", "No space left on device", "Invalid seek", "Read-only file system",
    "Too many links", "Broken pipe", "Domain error", "Result too large", "Unknown error",
    "Resource deadlock avoided", "Unknown error", "Filename too long", "No locks available",
    "Function not implemented", "Directory not empty", "Illegal byte sequence"};

uint32_t Strerror(ApiCall& c) {
    const uint32_t n = c.Arg(0);
    const char* text = n < std::size(kErrorTexts) ? kErrorTexts[n] : "Unknown error";
    std::memcpy(c.process.machine.Host(GuestProcess::kMessage, std::strlen(text) + 1), text, std::strlen(text) + 1);
    return GuestProcess::kMessage;
}

// One thread: the runtime's own locks have nothing to wait for.
uint32_t Lock(ApiCall&) { return 0; }

uint32_t Abort(ApiCall& c) { c.Fail("the library called abort()"); }

uint32_t AmsgExit(ApiCall& c) {
    c.Fail("the library's C runtime stopped with runtime error R60" + std::to_string(c.SignedArg(0)));
}

constexpr uint32_t kEof = 0xffffffffu;

uint32_t Fputc(ApiCall& c) {
    const char ch = static_cast<char>(c.Arg(0) & 0xff);
    return c.process.WriteStream(c.Arg(1), &ch, 1) ? static_cast<unsigned char>(ch) : kEof;
}

uint32_t Fwrite(ApiCall& c) {
    const uint64_t bytes = uint64_t{c.Arg(1)} * c.Arg(2);
    if (bytes == 0) return 0;
    if (bytes > UINT32_MAX) c.Fail("more bytes than the address space holds");
    return c.process.WriteStream(c.Arg(3), c.Bytes(0, bytes), bytes) ? c.Arg(2) : 0;
}

uint32_t Vfprintf(ApiCall& c) {
    const std::string text = FormatGuest(c.process.machine, NonNullText(c, 1), c.Arg(2));
    return c.process.WriteStream(c.Arg(0), text.data(), text.size()) ? static_cast<uint32_t>(text.size()) : kEof;
}

// _initterm(begin, end): calls every non-null function pointer in
// [begin, end), in order.
//   push esi; push edi; mov esi, [esp+12]; mov edi, [esp+16]
//   next: cmp esi, edi; jae done; mov eax, [esi]; test eax, eax; jz skip
//         call eax
//   skip: add esi, 4; jmp next
//   done: pop edi; pop esi; ret
constexpr uint8_t kInitterm[] = {0x56, 0x57, 0x8b, 0x74, 0x24, 0x0c, 0x8b, 0x7c, 0x24, 0x10, 0x39, 0xfe,
                                 0x73, 0x0d, 0x8b, 0x06, 0x85, 0xc0, 0x74, 0x02, 0xff, 0xd0, 0x83, 0xc6,
                                 0x04, 0xeb, 0xef, 0x5f, 0x5e, 0xc3};

const ApiFunction kFunctions[] = {
    {"_amsg_exit", 0, &AmsgExit, {}},   {"_errno", 0, &Errno, {}},        {"_initterm", 0, nullptr, kInitterm},
    {"_lock", 0, &Lock, {}},            {"_unlock", 0, &Lock, {}},        {"abort", 0, &Abort, {}},
    {"atoi", 0, &Atoi, {}},             {"calloc", 0, &Calloc, {}},       {"fputc", 0, &Fputc, {}},
    {"free", 0, &Free, {}},             {"fwrite", 0, &Fwrite, {}},       {"localeconv", 0, &Localeconv, {}},
    {"malloc", 0, &Malloc, {}},         {"memcpy", 0, &Memcpy, {}},       {"memset", 0, &Memset, {}},
    {"realloc", 0, &Realloc, {}},       {"setlocale", 0, &Setlocale, {}}, {"strchr", 0, &Strchr, {}},
    {"strcmp", 0, &Strcmp, {}},         {"strcpy", 0, &Strcpy, {}},       {"strerror", 0, &Strerror, {}},   {"strlen", 0, &Strlen, {}},
    {"strncmp", 0, &Strncmp, {}},       {"vfprintf", 0, &Vfprintf, {}},   {"wcslen", 0, &Wcslen, {}},
};

uint32_t IobAddress(const GuestProcess&) { return GuestProcess::kIob; }
uint32_t MbCurMaxAddress(const GuestProcess&) { return GuestProcess::kMbCurMax; }

const ApiData kData[] = {{"_iob", &IobAddress}, {"__mb_cur_max", &MbCurMaxAddress}};

} // namespace

std::span<const ApiFunction> MsvcrtFunctions() { return kFunctions; }
std::span<const ApiData> MsvcrtData() { return kData; }

} // namespace dvx::host::guest

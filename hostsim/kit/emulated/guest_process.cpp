#include "hostsim/kit/emulated/guest_process.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dvx::host::guest {

namespace {

// Handles of the modules that map no memory.
constexpr uint32_t kKernel32Handle = 0x7ff00000, kMsvcrtHandle = 0x7ff10000;

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return lower;
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

} // namespace

uint32_t ApiCall::Arg(unsigned i) const { return process.machine.Argument(i); }

void ApiCall::Fail(const std::string& what) const { throw GuestFault(std::string(name) + ": " + what); }

void* ApiCall::Bytes(unsigned i, size_t bytes) const {
    const uint32_t address = Arg(i);
    if (address == 0) return nullptr;
    void* host = process.machine.Host(address, std::max<size_t>(bytes, 1));
    if (host == nullptr)
        Fail("argument " + std::to_string(i + 1) + " (" + Hex(address) + ") points to " + std::to_string(bytes) +
             " bytes that are not all mapped");
    return host;
}

const char* ApiCall::Text(unsigned i) const {
    const uint32_t address = Arg(i);
    if (address == 0) return nullptr;
    const char* text = process.machine.Text(address);
    if (text == nullptr) Fail("argument " + std::to_string(i + 1) + " (" + Hex(address) + ") is not a readable text");
    return text;
}

GuestProcess::GuestProcess() {
    const char* traceSetting = std::getenv("DVX_EMULATION_TRACE");
    trace = traceSetting != nullptr && std::strcmp(traceSetting, "1") == 0;
    WriteThreadBlocks();
    WriteRuntimeData();
    modules.push_back({"kernel32.dll", kKernel32Handle, {}, {}});
    modules.push_back({"msvcrt.dll", kMsvcrtHandle, {}, {}});
    BindFunctions("kernel32.dll", Kernel32Functions());
    BindFunctions("msvcrt.dll", MsvcrtFunctions());
    for (const ApiData& data : MsvcrtData()) provided_[std::string("msvcrt.dll!") + data.name] = data.address(*this);
}

void GuestProcess::WriteThreadBlocks() {
    Machine& m = machine;
    m.Write32(kTeb + 0x00, 0xffffffffu); // no structured exception frame
    m.Write32(kTeb + 0x04, layout::kStackTop);
    m.Write32(kTeb + 0x08, layout::kStackBottom);
    m.Write32(kTeb + 0x18, kTeb); // the block's own address
    m.Write32(kTeb + 0x20, kProcessId);
    m.Write32(kTeb + 0x24, kThreadId);
    m.Write32(kTeb + 0x2c, kTlsArray);
    m.Write32(kTeb + 0x30, kPeb);
    m.SetThreadBlock(kTeb);
}

// The C locale as msvcrt describes it, and stdin, stdout and stderr.
void GuestProcess::WriteRuntimeData() {
    Machine& m = machine;
    for (uint32_t i = 0; i < kIobEntries; ++i) m.Write32(kIob + 32 * i + 16, i); // _file
    m.Write32(kIob + 12, 0x0001);       // stdin: _IOREAD
    m.Write32(kIob + 32 + 12, 0x0002);  // stdout: _IOWRT
    m.Write32(kIob + 64 + 12, 0x0006);  // stderr: _IOWRT | _IONBF
    m.Write32(kMbCurMax, 1);
    const uint32_t dot = kTexts, empty = kTexts + 2;
    std::memcpy(m.Host(kTexts, 8), ".\0\0\0C\0\0\0", 8);
    m.Write32(kLconv, dot); // decimal_point
    for (uint32_t field = 1; field < 10; ++field) m.Write32(kLconv + 4 * field, empty);
    std::memset(m.Host(kLconv + 40, 8), 127, 8); // CHAR_MAX: not given in this locale
}

void GuestProcess::BindFunctions(const char* dll, std::span<const ApiFunction> functions) {
    for (const ApiFunction& f : functions) {
        uint32_t address = 0;
        if (f.run == nullptr) {
            address = machine.AddCode(f.code);
        } else {
            address = machine.AddTrap(f.popBytes, [this, &f] {
                ApiCall call(*this, f.name);
                if (trace) fprintf(stderr, "[emulation] %s\n", f.name);
                return f.run(call);
            });
        }
        provided_[std::string(dll) + "!" + f.name] = address;
    }
}

uint32_t GuestProcess::Provided(std::string_view dll, std::string_view name) const {
    auto found = provided_.find(Lower(dll) + "!" + std::string(name));
    return found == provided_.end() ? 0 : found->second;
}

uint32_t GuestProcess::ModuleHandle(std::string_view name) const {
    std::string wanted = Lower(name);
    const size_t slash = wanted.find_last_of("\\/");
    if (slash != std::string::npos) wanted.erase(0, slash + 1);
    if (wanted.find('.') == std::string::npos) wanted += ".dll";
    for (const Module& module : modules)
        if (module.name == wanted) return module.handle;
    return 0;
}

const GuestProcess::Module* GuestProcess::ModuleAt(uint32_t handle) const {
    for (const Module& module : modules)
        if (module.handle == handle) return &module;
    return nullptr;
}

bool GuestProcess::WriteStream(uint32_t file, const void* bytes, size_t count) {
    int fd = -1;
    if (file == kIob + 32) fd = 1;
    if (file == kIob + 64) fd = 2;
    if (fd < 0) return false;
    const auto* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t written = ::write(fd, p, count);
        if (written <= 0) return false;
        p += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace dvx::host::guest

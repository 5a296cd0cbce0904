// The five exports of an emulated library called as cdecl functions on the
// guest's stack. The host's pointers become copies in the guest's argument
// area (copied back after the call); the host's callbacks become trap
// entries whose arguments, guest addresses, turn into host pointers here and
// nowhere else.
#include "hostsim/kit/emulated/emulated_library.h"

#include "hostsim/kit/emulated/guest_process.h"
#include "hostsim/kit/emulated/loaded_module.h"

#include "hostsim/kit/emulated/unicorn_api.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace dvx::host {

using guest::GuestFault;
using guest::GuestProcess;
namespace layout = guest::layout;

namespace {

// The argument area of one call: `in`, `out`, the descriptor, then the text.
constexpr uint32_t kInCopy = layout::kArguments;
constexpr uint32_t kOutCopy = layout::kArguments + 8;
constexpr uint32_t kDescriptorCopy = layout::kArguments + 16;
constexpr uint32_t kTextCopy = layout::kArguments + 32;
constexpr size_t kTextRoom = layout::kArgumentsSize - 32;

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

intptr_t Integer(uint32_t value) { return static_cast<intptr_t>(static_cast<int32_t>(value)); }

// A host pointer argument of a callback: 0 stays null; an address whose
// `bytes` are not mapped is the library's fault, not the host's to follow.
void* CallbackPointer(const GuestProcess& p, const char* callback, uint32_t address, size_t bytes) {
    if (address == 0) return nullptr;
    void* host = p.machine.Host(address, bytes);
    if (host == nullptr)
        throw GuestFault(std::string("the library passed the host's ") + callback + " callback " + Hex(address) +
                         ", where " + std::to_string(bytes) + " bytes are not mapped");
    return host;
}

} // namespace

EmulatedLibrary::EmulatedLibrary(const std::filesystem::path& path, uint32_t base) : ComponentLibrary(path) {
    try {
        module_ = guest::LoadedModule::Open(path, base);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot load the component library " + path.string() + " (emulated i386 CPU): " +
                                 e.what());
    }
    exports_.getVersionNumber = Export("GetVersionNumber");
    exports_.modelOptions = Export("UDCmodelOpt");
    exports_.init = Export("UDMInit");
    exports_.listNodeInfo = Export("ListNodeInfo2");
    exports_.main = Export("UDMMain");
}

EmulatedLibrary::~EmulatedLibrary() = default;

uint32_t EmulatedLibrary::Base() const { return module_->Base(); }

uint32_t EmulatedLibrary::Export(const char* name) const {
    const uint32_t address = module_->Export(name);
    if (address == 0)
        throw std::runtime_error("the component library " + Path().string() + " lacks the export " + name);
    return address;
}

std::string EmulatedLibrary::Backend() const {
    unsigned major = 0, minor = 0;
    guest::Unicorn().version(&major, &minor);
    return "emulated i386 CPU (Unicorn " + std::to_string(major) + "." + std::to_string(minor) + ")";
}

uint32_t EmulatedLibrary::Invoke(const char* what, uint32_t function, std::span<const uint32_t> arguments) const {
    try {
        return module_->Process().machine.Call(function, arguments);
    } catch (const GuestFault& e) {
        throw std::runtime_error("the component library " + Path().string() + " (emulated i386 CPU), " + what +
                                 ": " + e.what());
    }
}

int32_t EmulatedLibrary::GetVersionNumber() const {
    return static_cast<int32_t>(Invoke("GetVersionNumber", exports_.getVersionNumber, {}));
}

int32_t EmulatedLibrary::ModelOptions() const {
    return static_cast<int32_t>(Invoke("UDCmodelOpt", exports_.modelOptions, {}));
}

uint32_t EmulatedLibrary::MessageEntry(HostMessageCallback message) const {
    if (message == nullptr) return 0;
    auto known = module_->callbackEntries.find(reinterpret_cast<const void*>(message));
    if (known != module_->callbackEntries.end()) return known->second;
    GuestProcess& p = module_->Process();
    const uint32_t entry = p.machine.AddTrap(0, [&p, message]() -> uint32_t {
        const uint32_t textAddress = p.machine.Argument(1);
        const char* text = textAddress == 0 ? nullptr : p.machine.Text(textAddress);
        if (textAddress != 0 && text == nullptr)
            throw GuestFault("the library passed the host's message callback " + Hex(textAddress) +
                             ", which is not a readable text");
        return static_cast<uint32_t>(message(static_cast<int32_t>(p.machine.Argument(0)), text));
    }, guest::Machine::Modes::Guest);
    module_->callbackEntries[reinterpret_cast<const void*>(message)] = entry;
    return entry;
}

// The query codes' arguments: 0 (name, -, reference out), 1 (-, reference,
// value out), 4 (buffer, request, its size). Another code's arguments mean
// nothing the host knows, so they go as the integers they are.
uint32_t EmulatedLibrary::QueryEntry(HostQueryCallback query) const {
    if (query == nullptr) return 0;
    auto known = module_->callbackEntries.find(reinterpret_cast<const void*>(query));
    if (known != module_->callbackEntries.end()) return known->second;
    GuestProcess& p = module_->Process();
    const uint32_t entry = p.machine.AddTrap(0, [&p, query]() -> uint32_t {
        const int32_t code = static_cast<int32_t>(p.machine.Argument(0));
        const uint32_t second = p.machine.Argument(1), third = p.machine.Argument(2), fourth = p.machine.Argument(3);
        auto pointer = [&](uint32_t address, size_t bytes) {
            return reinterpret_cast<intptr_t>(CallbackPointer(p, "query", address, bytes));
        };
        intptr_t a = Integer(second), b = Integer(third), c = Integer(fourth);
        if (code == kQueryReference) {
            const char* name = second == 0 ? nullptr : p.machine.Text(second);
            if (second != 0 && name == nullptr) throw GuestFault("the query callback's name is not a readable text");
            a = reinterpret_cast<intptr_t>(name);
            b = pointer(third, 1);
            c = pointer(fourth, 2 * sizeof(double));
        } else if (code == kQueryValue) {
            a = pointer(second, 1);
            b = pointer(third, 2 * sizeof(double));
            c = pointer(fourth, sizeof(double));
        } else if (code == kQueryService) {
            const int32_t size = static_cast<int32_t>(fourth);
            a = pointer(second, size > 0 ? static_cast<size_t>(size) : 1);
            b = pointer(third, sizeof(HostServiceRequest));
        }
        return static_cast<uint32_t>(query(code, a, b, c));
    }, guest::Machine::Modes::Guest);
    module_->callbackEntries[reinterpret_cast<const void*>(query)] = entry;
    return entry;
}

int32_t EmulatedLibrary::Init(HostMessageCallback message, HostQueryCallback query,
                              ModelDescriptor* descriptor) const {
    guest::Machine& m = module_->Process().machine;
    void* copy = m.Host(kDescriptorCopy, sizeof(ModelDescriptor));
    if (descriptor != nullptr) std::memcpy(copy, descriptor, sizeof(ModelDescriptor));
    const uint32_t arguments[] = {MessageEntry(message), QueryEntry(query), descriptor != nullptr ? kDescriptorCopy : 0};
    const auto status = static_cast<int32_t>(Invoke("UDMInit", exports_.init, arguments));
    if (descriptor != nullptr) std::memcpy(descriptor, copy, sizeof(ModelDescriptor));
    return status;
}

const NodeInfo* EmulatedLibrary::ListNodeInfo(int32_t index) const {
    const uint32_t argument[] = {static_cast<uint32_t>(index)};
    const uint32_t record = Invoke("ListNodeInfo2", exports_.listNodeInfo, argument);
    if (record == 0) return nullptr;
    const void* host = module_->Process().machine.Host(record, sizeof(NodeInfo));
    if (host == nullptr)
        throw std::runtime_error("the component library " + Path().string() + ": ListNodeInfo2 returned " +
                                 Hex(record) + ", where no record of " + std::to_string(sizeof(NodeInfo)) +
                                 " bytes lies");
    return static_cast<const NodeInfo*>(host);
}

int32_t EmulatedLibrary::Main(int32_t callType, char* text, double* in, double* out, DvxHandle instanceHandle,
                              DvxHandle interfaceHandle) const {
    guest::Machine& m = module_->Process().machine;
    const size_t textBytes = text != nullptr ? std::strlen(text) + 1 : 0;
    if (textBytes > kTextRoom)
        throw std::runtime_error("a text of " + std::to_string(textBytes) + " bytes is more than an emulated call takes");
    if (text != nullptr) std::memcpy(m.Host(kTextCopy, textBytes), text, textBytes);
    if (in != nullptr) std::memcpy(m.Host(kInCopy, sizeof(double)), in, sizeof(double));
    if (out != nullptr) std::memcpy(m.Host(kOutCopy, sizeof(double)), out, sizeof(double));
    const uint32_t arguments[] = {static_cast<uint32_t>(callType), text != nullptr ? kTextCopy : 0,
                                  in != nullptr ? kInCopy : 0,       out != nullptr ? kOutCopy : 0,
                                  instanceHandle,                    interfaceHandle};
    const auto status = static_cast<int32_t>(Invoke("UDMMain", exports_.main, arguments));
    if (text != nullptr) std::memcpy(text, m.Host(kTextCopy, textBytes), textBytes);
    if (in != nullptr) std::memcpy(in, m.Host(kInCopy, sizeof(double)), sizeof(double));
    if (out != nullptr) std::memcpy(out, m.Host(kOutCopy, sizeof(double)), sizeof(double));
    return status;
}

bool EmulatedLibrary::HasExport(const char* name) const { return module_->Export(name) != 0; }

int32_t EmulatedLibrary::CallExport(const char* name, std::span<const int32_t> arguments) const {
    std::vector<uint32_t> words(arguments.begin(), arguments.end());
    return static_cast<int32_t>(Invoke(name, Export(name), words));
}

const void* EmulatedLibrary::HostView(uint64_t address, size_t bytes) const {
    if (address == 0) return nullptr;
    const guest::Machine& m = module_->Process().machine;
    const void* host = nullptr;
    if (address <= UINT32_MAX)
        host = bytes == 0 ? m.Text(static_cast<uint32_t>(address)) : m.Host(static_cast<uint32_t>(address), bytes);
    return host != nullptr ? host : kNotALibraryAddress;
}

bool EmulatedLibrary::IsHeapBlock(const void* host) const {
    const GuestProcess& p = module_->Process();
    const uint32_t guest = p.machine.Guest(host, 1);
    return guest != 0 && p.heap.SizeOf(guest) != 0;
}

size_t EmulatedLibrary::HeapAllocations() const {
    const size_t now = module_->Process().heap.Allocations(), startup = module_->StartupAllocations();
    return now > startup ? now - startup : 0;
}

} // namespace dvx::host

#include "hostsim/kit/emulated/loaded_module.h"

#include "hostsim/kit/emulated/block_window.h"
#include "hostsim/kit/emulated/pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>

namespace dvx::host::guest {

namespace {

enum : uint32_t {
    kScnExecute = 0x20000000,
    kScnRead = 0x40000000,
    kScnWrite = 0x80000000,
    kPageReadOnly = 0x02,
    kPageReadWrite = 0x04,
    kPageExecuteRead = 0x20,
    kPageExecuteReadWrite = 0x40,
    kDllProcessDetach = 0,
    kDllProcessAttach = 1,
};

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("the file cannot be read");
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

uint32_t PageUp(uint32_t bytes) { return (bytes + layout::kPage - 1) & ~(layout::kPage - 1); }

// The preferred base where the image fits there (outside the shared window
// and the process's own regions), otherwise the lowest image address.
uint32_t ChooseBase(uint32_t preferred, uint32_t size) {
    const uint64_t end = uint64_t{preferred} + PageUp(size);
    const bool belowWindow = preferred >= layout::kImageLow && end <= layout::kWindow;
    const bool aboveWindow = preferred >= layout::kWindow + layout::kWindowSize && end <= layout::kPrivateEnd;
    return belowWindow || aboveWindow ? preferred : layout::kImageLow;
}

uint32_t PageProtection(uint32_t characteristics) {
    const bool write = (characteristics & kScnWrite) != 0;
    if ((characteristics & kScnExecute) != 0) return write ? kPageExecuteReadWrite : kPageExecuteRead;
    return write ? kPageReadWrite : kPageReadOnly;
}

uint32_t EmulatorProtection(uint32_t characteristics) {
    uint32_t prot = kProtRead;
    if ((characteristics & kScnWrite) != 0) prot |= kProtWrite;
    if ((characteristics & kScnExecute) != 0) prot |= kProtExec;
    return prot;
}

std::string LowerFileName(const std::filesystem::path& path) {
    std::string name = path.filename().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return name;
}

} // namespace

std::shared_ptr<LoadedModule> LoadedModule::Open(const std::filesystem::path& path, uint32_t base) {
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<LoadedModule>> loaded;
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    const std::string key = (error ? path : canonical).string();
    std::lock_guard<std::mutex> guard(mutex);
    if (std::shared_ptr<LoadedModule> module = loaded[key].lock()) return module;
    auto module = std::make_shared<LoadedModule>(path, base);
    loaded[key] = module;
    return module;
}

LoadedModule::LoadedModule(const std::filesystem::path& path, uint32_t base)
    : process_(std::make_unique<GuestProcess>()) {
    Load(path, base);
}

LoadedModule::~LoadedModule() { Detach(); }

void LoadedModule::Detach() {
    if (!attached_) return;
    attached_ = false;
    // Detaching mirrors attaching: thread-storage callbacks, then the entry point.
    try {
        const uint32_t detach[] = {base_, kDllProcessDetach, 0};
        for (uint32_t callback : tlsCallbacks_) process_->machine.Call(callback, detach);
        if (entry_ != 0) process_->machine.Call(entry_, detach);
    } catch (const std::exception&) {
        // Unloading has no one to report to; the process's memory goes with it.
    }
}

void LoadedModule::Load(const std::filesystem::path& path, uint32_t requestedBase) {
    const PeImage image(ReadFile(path), "the image");
    BlockWindow& window = BlockWindow::Instance();
    process_->machine.MapShared(layout::kWindow, window.Size(), window.Host(), "the host's memory blocks");

    const uint32_t size = static_cast<uint32_t>(image.Layout().size());
    base_ = requestedBase != 0 ? requestedBase : ChooseBase(image.PreferredBase(), size);
    process_->machine.Map(base_, size, kProtRead | kProtWrite, "the image");
    const std::vector<uint8_t> placed = image.LayoutAt(base_);
    std::memcpy(process_->machine.Host(base_, placed.size()), placed.data(), placed.size());
    process_->imageBase = base_;
    process_->imageSize = PageUp(size);

    ResolveImports(image);
    GuestProcess::Module module{LowerFileName(path), base_, {}, {}};
    for (const auto& [name, rva] : image.Exports()) module.exports[name] = base_ + rva;
    for (const auto& [ordinal, rva] : image.ExportsByOrdinal()) module.byOrdinal[ordinal] = base_ + rva;
    process_->modules.push_back(module);
    ProtectSections(image);
    StartThreadStorage(image);
    RunStartup(image);
    startupAllocations_ = process_->heap.Allocations();
}

// Every import must be one the process provides: a library that needs
// anything else would call into nothing, so it is refused before it runs.
void LoadedModule::ResolveImports(const PeImage& image) {
    std::string missing;
    for (const PeImport& import : image.Imports()) {
        const uint32_t address = import.name.empty() ? 0 : process_->Provided(import.dll, import.name);
        if (address == 0) {
            missing += (missing.empty() ? "" : ", ") +
                       (import.name.empty() ? "ordinal " + std::to_string(import.ordinal) : import.name) + " from " +
                       import.dll;
            continue;
        }
        process_->machine.Write32(base_ + import.slotRva, address);
    }
    if (!missing.empty()) throw std::runtime_error("it imports what the emulation does not provide: " + missing);
}

// The headers read-only, each section as its characteristics say; the
// import address table was written before.
void LoadedModule::ProtectSections(const PeImage& image) {
    Machine& m = process_->machine;
    const uint32_t headers = image.Sections().empty() ? process_->imageSize : image.Sections().front().rva;
    auto protect = [&](uint32_t rva, uint32_t bytes, uint32_t page, uint32_t prot) {
        if (bytes == 0) return;
        const uint32_t first = rva & ~(layout::kPage - 1);
        const uint32_t length = PageUp(rva + bytes) - first;
        m.Protect(base_ + first, length, prot);
        for (uint32_t p = first; p < first + length; p += layout::kPage) process_->pageProtection[base_ + p] = page;
    };
    protect(0, headers, kPageReadOnly, kProtRead);
    for (const PeSection& s : image.Sections())
        protect(s.rva, s.size, PageProtection(s.characteristics), EmulatorProtection(s.characteristics));
}

// The thread's copy of the image's thread-storage template, at index 0 of
// the thread's storage array; then the callbacks' list.
void LoadedModule::StartThreadStorage(const PeImage& image) {
    const std::optional<PeTls> tls = image.TlsAt(base_);
    if (!tls) return;
    Machine& m = process_->machine;
    const uint32_t templateSize = tls->rawEnd - tls->rawStart;
    const uint32_t size = templateSize + tls->zeroFill;
    const uint32_t block = process_->heap.Allocate(std::max<uint32_t>(size, 1));
    const void* source = m.Host(tls->rawStart, templateSize);
    void* target = m.Host(block, std::max<uint32_t>(size, 1));
    if (block == 0 || target == nullptr || (templateSize != 0 && source == nullptr))
        throw GuestFault("the thread-storage template lies outside the image");
    std::memset(target, 0, std::max<uint32_t>(size, 1));
    if (templateSize != 0) std::memcpy(target, source, templateSize);
    m.Write32(GuestProcess::kTlsArray, block);
    m.Write32(tls->indexAddress, 0);
    for (uint32_t at = tls->callbacksAddress; at != 0; at += 4) {
        const uint32_t callback = m.Read32(at);
        if (callback == 0) break;
        tlsCallbacks_.push_back(callback);
    }
}

void LoadedModule::RunStartup(const PeImage& image) {
    const uint32_t attach[] = {base_, kDllProcessAttach, 0};
    for (uint32_t callback : tlsCallbacks_) process_->machine.Call(callback, attach);
    entry_ = image.EntryRva() != 0 ? base_ + image.EntryRva() : 0;
    attached_ = true;
    if (entry_ != 0 && process_->machine.Call(entry_, attach) == 0) {
        attached_ = false;
        throw std::runtime_error("its start-up (DllMain) reported failure");
    }
}

uint32_t LoadedModule::Export(const std::string& name) const {
    const GuestProcess::Module& module = process_->modules.back();
    auto found = module.exports.find(name);
    return found == module.exports.end() ? 0 : found->second;
}

} // namespace dvx::host::guest

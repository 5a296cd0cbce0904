#include "hostsim/kit/native_library.h"

#include <stdexcept>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace dvx::host {

namespace {

std::string LastLoadError() {
#if defined(_WIN32)
    return "Windows error " + std::to_string(GetLastError());
#else
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
#endif
}

// Unloads the library behind `handle` once and forgets it.
void Unload(void*& handle) {
    if (handle == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
    handle = nullptr;
}

// The test exports take at most this many 32-bit integers.
constexpr size_t kMaxExportArguments = 4;
using ExportFn = int32_t(DVX_CDECL*)(int32_t, int32_t, int32_t, int32_t);

} // namespace

NativeLibrary::NativeLibrary(const std::filesystem::path& path) : ComponentLibrary(path) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryW(path.wstring().c_str()));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr)
        throw std::runtime_error("cannot load the component library " + path.string() + ": " + LastLoadError());
    try {
        exports_.getVersionNumber = reinterpret_cast<GetVersionNumberFn*>(Symbol("GetVersionNumber"));
        exports_.modelOptions = reinterpret_cast<UDCmodelOptFn*>(Symbol("UDCmodelOpt"));
        exports_.init = reinterpret_cast<UDMInitFn*>(Symbol("UDMInit"));
        exports_.listNodeInfo = reinterpret_cast<ListNodeInfo2Fn*>(Symbol("ListNodeInfo2"));
        exports_.main = reinterpret_cast<UDMMainFn*>(Symbol("UDMMain"));
    } catch (...) {
        // Only the handle needs undoing: the members are destroyed by the
        // unwinding itself.
        Unload(handle_);
        throw;
    }
}

NativeLibrary::~NativeLibrary() { Unload(handle_); }

// A cdecl caller cleans its own arguments, so a function of fewer integers
// called with four reads the ones it takes and ignores the rest.
int32_t NativeLibrary::CallExport(const char* name, std::span<const int32_t> arguments) const {
    if (arguments.size() > kMaxExportArguments)
        throw std::invalid_argument(std::string("too many arguments for the export ") + name);
    int32_t a[kMaxExportArguments] = {};
    for (size_t i = 0; i < arguments.size(); ++i) a[i] = arguments[i];
    const auto function = reinterpret_cast<ExportFn>(Symbol(name));
    return function(a[0], a[1], a[2], a[3]);
}

void* NativeLibrary::OptionalSymbol(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

void* NativeLibrary::Symbol(const char* name) const {
    void* symbol = OptionalSymbol(name);
    if (symbol == nullptr)
        throw std::runtime_error("the component library " + Path().string() + " lacks the export " + name);
    return symbol;
}

} // namespace dvx::host

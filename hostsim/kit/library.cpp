#include "hostsim/kit/library.h"

#include <stdexcept>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
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

} // namespace

ComponentLibrary::ComponentLibrary(const std::filesystem::path& path) : path_(path) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryW(path.wstring().c_str()));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr)
        throw std::runtime_error("cannot load the component library " + path.string() + ": " + LastLoadError());
    try {
        getVersionNumber = reinterpret_cast<GetVersionNumberFn*>(Symbol("GetVersionNumber"));
        modelOptions = reinterpret_cast<UDCmodelOptFn*>(Symbol("UDCmodelOpt"));
        init = reinterpret_cast<UDMInitFn*>(Symbol("UDMInit"));
        listNodeInfo = reinterpret_cast<ListNodeInfo2Fn*>(Symbol("ListNodeInfo2"));
        main = reinterpret_cast<UDMMainFn*>(Symbol("UDMMain"));
    } catch (...) {
        // Only the handle needs undoing: the members are destroyed by the
        // unwinding itself (calling the destructor here destroyed them twice).
        Unload(handle_);
        throw;
    }
}

ComponentLibrary::~ComponentLibrary() { Unload(handle_); }

void* ComponentLibrary::OptionalSymbol(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

void* ComponentLibrary::Symbol(const char* name) const {
    void* symbol = OptionalSymbol(name);
    if (symbol == nullptr)
        throw std::runtime_error("the component library " + path_.string() + " lacks the export " + name);
    return symbol;
}

std::filesystem::path ProgramDirectory() {
#if defined(_WIN32)
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::filesystem::path(std::wstring(buffer, length)).parent_path();
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

std::filesystem::path LibraryBesideProgram(const std::string& baseName) {
#if defined(_WIN32)
    return ProgramDirectory() / (baseName + ".dll");
#else
    return ProgramDirectory() / (baseName + ".so");
#endif
}

} // namespace dvx::host

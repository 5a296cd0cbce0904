#include "hostsim/kit/library.h"

#include "hostsim/kit/native_library.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include "hostsim/kit/emulated/emulated_library.h"
#endif

namespace dvx::host {

const char kNotALibraryAddress[] = "(not an address of the library)";

#if !defined(_WIN32)
namespace {

// A PE file starts with "MZ" (an ELF file with 0x7f "ELF").
bool IsPeFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

} // namespace
#endif

std::unique_ptr<ComponentLibrary> LoadComponentLibrary(const std::filesystem::path& path) {
#if !defined(_WIN32)
    if (IsPeFile(path)) return std::make_unique<EmulatedLibrary>(path);
#endif
    return std::make_unique<NativeLibrary>(path);
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
    const char* componentDir = std::getenv("DVX_COMPONENT_DIR");
    if (componentDir != nullptr && componentDir[0] != '\0')
        return std::filesystem::path(componentDir) / (baseName + ".dll");
#if defined(_WIN32)
    return ProgramDirectory() / (baseName + ".dll");
#else
    return ProgramDirectory() / (baseName + ".so");
#endif
}

} // namespace dvx::host

// Loads a component library at run time and resolves its five exports as
// pointers to the boundary's own function types.
#pragma once

#include "host/boundary.h"

#include <filesystem>
#include <string>

namespace dvx::host {

class ComponentLibrary {
public:
    // Throws std::runtime_error naming the path when the library cannot be
    // loaded or lacks one of the five exports.
    explicit ComponentLibrary(const std::filesystem::path& path);
    ~ComponentLibrary();
    ComponentLibrary(const ComponentLibrary&) = delete;
    ComponentLibrary& operator=(const ComponentLibrary&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // An export beyond the five, or null when the library lacks it.
    void* OptionalSymbol(const char* name) const;

    GetVersionNumberFn* getVersionNumber = nullptr;
    UDCmodelOptFn* modelOptions = nullptr;
    UDMInitFn* init = nullptr;
    ListNodeInfo2Fn* listNodeInfo = nullptr;
    UDMMainFn* main = nullptr;

private:
    void* Symbol(const char* name) const;

    std::filesystem::path path_;
    void* handle_ = nullptr;
};

// The folder of the running program: test programs and the host tool find
// the library they were built with next to themselves.
std::filesystem::path ProgramDirectory();

// Dolvanex.so or Dolvanex.dll (or another base name) next to the program.
std::filesystem::path LibraryBesideProgram(const std::string& baseName = "Dolvanex");

} // namespace dvx::host

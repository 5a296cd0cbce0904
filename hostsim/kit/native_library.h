// A component library loaded by the platform's own loader (dlopen on Linux,
// LoadLibraryW on Windows), its exports resolved as pointers to the
// boundary's own function types.
#pragma once

#include "hostsim/kit/library.h"

namespace dvx::host {

// The five exports as the platform's loader resolved them.
struct NativeExports {
    GetVersionNumberFn* getVersionNumber = nullptr;
    UDCmodelOptFn* modelOptions = nullptr;
    UDMInitFn* init = nullptr;
    ListNodeInfo2Fn* listNodeInfo = nullptr;
    UDMMainFn* main = nullptr;
};

class NativeLibrary final : public ComponentLibrary {
public:
    // Throws std::runtime_error naming the path when the library cannot be
    // loaded or lacks one of the five exports.
    explicit NativeLibrary(const std::filesystem::path& path);
    ~NativeLibrary() override;

    std::string Backend() const override { return "native"; }
    bool Emulated() const override { return false; }

    int32_t GetVersionNumber() const override { return exports_.getVersionNumber(); }
    int32_t ModelOptions() const override { return exports_.modelOptions(); }
    int32_t Init(HostMessageCallback message, HostQueryCallback query, ModelDescriptor* descriptor) const override {
        return exports_.init(message, query, descriptor);
    }
    const NodeInfo* ListNodeInfo(int32_t index) const override { return exports_.listNodeInfo(index); }
    int32_t Main(int32_t callType, char* text, double* in, double* out, DvxHandle instanceHandle,
                 DvxHandle interfaceHandle) const override {
        return exports_.main(callType, text, in, out, instanceHandle, interfaceHandle);
    }

    bool HasExport(const char* name) const override { return OptionalSymbol(name) != nullptr; }
    int32_t CallExport(const char* name, std::span<const int32_t> arguments) const override;

    const void* HostView(uint64_t address, size_t) const override {
        return reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
    }
    unsigned PointerBits() const override { return static_cast<unsigned>(8 * sizeof(void*)); }

    // The raw exports, for benchmarks and the tests that call them with a
    // stack of their own making.
    const NativeExports& Exports() const { return exports_; }

private:
    void* OptionalSymbol(const char* name) const;
    void* Symbol(const char* name) const;

    void* handle_ = nullptr;
    NativeExports exports_;
};

} // namespace dvx::host

#include "hostsim/kit/emulated/unicorn_api.h"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>
#include <string>

namespace dvx::host::guest {

namespace {

// Unicorn 2's soname, as Debian's libunicorn2 installs it.
constexpr const char* kLibrary = "libunicorn.so.2";

template <typename Function>
void Find(void* library, const char* name, Function& function) {
    void* address = dlsym(library, name);
    if (address == nullptr)
        throw std::runtime_error(std::string("the emulated i386 CPU: ") + kLibrary + " lacks " + name);
    function = reinterpret_cast<Function>(address);
}

UnicornApi Load() {
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error(std::string("the emulated i386 CPU needs Unicorn 2 (") + kLibrary +
                                 "), which cannot be loaded: " + (why != nullptr ? why : "unknown reason"));
    }
    // Kept loaded for the program's life, as a linked library would be.
    UnicornApi api{};
    Find(library, "uc_version", api.version);
    Find(library, "uc_open", api.open);
    Find(library, "uc_close", api.close);
    Find(library, "uc_strerror", api.strerror);
    Find(library, "uc_hook_add", api.hook_add);
    Find(library, "uc_mem_map_ptr", api.mem_map_ptr);
    Find(library, "uc_mem_protect", api.mem_protect);
    Find(library, "uc_reg_read", api.reg_read);
    Find(library, "uc_reg_write", api.reg_write);
    Find(library, "uc_emu_start", api.emu_start);
    Find(library, "uc_emu_stop", api.emu_stop);
    return api;
}

} // namespace

const UnicornApi& Unicorn() {
    // A failed load throws out of the initialiser, and the next call tries again.
    static const UnicornApi api = Load();
    return api;
}

} // namespace dvx::host::guest

// Unicorn, loaded when the first emulated CPU starts rather than when the
// program does: the library is 19 MB with some 70,000 relocations, which
// every start of the tool would otherwise pay for (about 15 ms), emulated
// CPU or not.
#pragma once

#include <unicorn/unicorn.h>

namespace dvx::host::guest {

struct UnicornApi {
    decltype(&::uc_version) version;
    decltype(&::uc_open) open;
    decltype(&::uc_close) close;
    decltype(&::uc_strerror) strerror;
    decltype(&::uc_hook_add) hook_add;
    decltype(&::uc_mem_map_ptr) mem_map_ptr;
    decltype(&::uc_mem_protect) mem_protect;
    decltype(&::uc_reg_read) reg_read;
    decltype(&::uc_reg_write) reg_write;
    decltype(&::uc_emu_start) emu_start;
    decltype(&::uc_emu_stop) emu_stop;
};

// The functions, the library loaded on the first call. Throws
// std::runtime_error naming the library when it cannot be loaded or lacks
// a function.
const UnicornApi& Unicorn();

} // namespace dvx::host::guest

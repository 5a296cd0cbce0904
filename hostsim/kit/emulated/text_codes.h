// Text in the code pages a Windows process knows here: its ANSI code page
// (Windows-1252, also CP_ACP), US-ASCII and UTF-8, converted to and from
// UTF-16 as MultiByteToWideChar and WideCharToMultiByte do.
#pragma once

#include "hostsim/kit/emulated/guest_process.h"

#include <cstdint>
#include <string>

namespace dvx::host::guest {

bool KnownCodePage(uint32_t codePage);
// The UTF-16 text at `address` up to its terminator (which must be mapped).
std::u16string ReadWideText(const Machine& machine, uint32_t address);

uint32_t MultiByteToWideChar(ApiCall& call);
uint32_t WideCharToMultiByte(ApiCall& call);

// VirtualQuery and VirtualProtect, over the pages of the guest's regions.
uint32_t VirtualQuery(ApiCall& call);
uint32_t VirtualProtect(ApiCall& call);

} // namespace dvx::host::guest

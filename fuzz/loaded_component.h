// The corpus replay's component: a built library loaded through the host kit.
#pragma once

#include "hostsim/kit/library.h"

#include <filesystem>

namespace dvx::fuzz {

// Loads the test build of the library (it must offer DvxFailAllocations)
// on the emulated CPU; fails the replay otherwise.
const host::ComponentLibrary& LoadComponent(const std::filesystem::path& path);

} // namespace dvx::fuzz

// The component's own record of an instance, as the tests read it out of
// the host's InstanceData block: the host kit reads only the boundary's
// records, the tests look into the component's as well.
#pragma once

#include "component/instance.h"
#include "hostsim/kit/blocks.h"
#include "hostsim/kit/instance.h"

namespace dvx::test {

// InstanceData with its one pointer, the name copy, read in the library's
// own width and turned into an address the host can read: null, or
// host::kNotALibraryAddress where the field holds no readable text (a
// 32-bit library leaves the field's upper half as it found it).
inline InstanceData ReadInstance(const host::HostInstance& instance) {
    InstanceData data = host::ReadAt<InstanceData>(instance.InstanceHandle(), 0);
    uint64_t address = data.kNameSlot;
    if (instance.Library().PointerBits() == 32) address &= 0xffffffffu;
    data.kName = const_cast<char*>(static_cast<const char*>(instance.Library().HostView(address, 0)));
    return data;
}

} // namespace dvx::test

// VirtualQuery and VirtualProtect over the guest's address space: the
// image's pages with the protections its sections (and the library's own
// VirtualProtect calls) gave them, the process's private regions, and free
// space between them.
#include "hostsim/kit/emulated/text_codes.h"

#include <cstring>

namespace dvx::host::guest {

namespace {

enum : uint32_t {
    kPageNoAccess = 0x01,
    kPageReadOnly = 0x02,
    kPageReadWrite = 0x04,
    kPageWriteCopy = 0x08,
    kPageExecute = 0x10,
    kPageExecuteRead = 0x20,
    kPageExecuteReadWrite = 0x40,
    kPageExecuteWriteCopy = 0x80,
    kMemCommit = 0x1000,
    kMemFree = 0x10000,
    kMemPrivate = 0x20000,
    kMemImage = 0x1000000,
    kErrorBadLength = 24,
    kErrorNoAccess = 998,
};

// MEMORY_BASIC_INFORMATION of a 32-bit process.
struct BasicInformation {
    uint32_t baseAddress, allocationBase, allocationProtect, regionSize, state, protect, type;
};
static_assert(sizeof(BasicInformation) == 28, "MEMORY_BASIC_INFORMATION");

uint32_t EmulatorProtection(uint32_t page) {
    switch (page & 0xff) {
    case kPageReadOnly: return kProtRead;
    case kPageReadWrite:
    case kPageWriteCopy: return kProtRead | kProtWrite;
    case kPageExecute:
    case kPageExecuteRead: return kProtRead | kProtExec;
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy: return kProtRead | kProtWrite | kProtExec;
    default: return 0;
    }
}

bool KnownProtection(uint32_t page) {
    const uint32_t base = page & 0xff;
    return base != 0 && (base & (base - 1)) == 0; // exactly one of the PAGE_ values
}

const Machine::Region* RegionOf(const GuestProcess& p, uint32_t address) {
    for (const Machine::Region& r : p.machine.Regions())
        if (address >= r.guest && address - r.guest < r.size) return &r;
    return nullptr;
}

bool InImage(const GuestProcess& p, uint32_t address) { return address - p.imageBase < p.imageSize; }

uint32_t ProtectionOf(const GuestProcess& p, const Machine::Region& region, uint32_t page) {
    auto found = p.pageProtection.find(page);
    if (found != p.pageProtection.end()) return found->second;
    return region.guest == layout::kTrapPage ? kPageExecuteRead : kPageReadWrite;
}

} // namespace

uint32_t VirtualQuery(ApiCall& c) {
    if (c.Arg(2) < sizeof(BasicInformation)) {
        c.process.SetLastError(kErrorBadLength);
        return 0;
    }
    auto* out = static_cast<BasicInformation*>(c.Bytes(1, sizeof(BasicInformation)));
    if (out == nullptr) {
        c.process.SetLastError(kErrorNoAccess);
        return 0;
    }
    const GuestProcess& p = c.process;
    const uint32_t page = c.Arg(0) & ~(layout::kPage - 1);
    BasicInformation info{page, 0, 0, 0, kMemFree, kPageNoAccess, 0};
    const Machine::Region* region = RegionOf(p, page);
    if (region == nullptr) {
        // Free up to the next region.
        uint32_t next = layout::kPrivateEnd;
        for (const Machine::Region& r : p.machine.Regions())
            if (r.guest > page && r.guest < next) next = r.guest;
        info.regionSize = next > page ? next - page : layout::kPage;
    } else {
        const bool image = InImage(p, page);
        const uint32_t start = image ? p.imageBase : region->guest;
        const uint32_t end = image ? p.imageBase + p.imageSize : region->guest + region->size;
        info.allocationBase = start;
        info.allocationProtect = image ? kPageExecuteWriteCopy : ProtectionOf(p, *region, start);
        info.state = kMemCommit;
        info.protect = ProtectionOf(p, *region, page);
        info.type = image ? kMemImage : kMemPrivate;
        uint32_t last = page;
        while (last + layout::kPage < end && ProtectionOf(p, *region, last + layout::kPage) == info.protect)
            last += layout::kPage;
        info.regionSize = last + layout::kPage - page;
    }
    std::memcpy(out, &info, sizeof info);
    return sizeof info;
}

// (address, size, new protection, where the old one goes)
uint32_t VirtualProtect(ApiCall& c) {
    GuestProcess& p = c.process;
    const uint32_t address = c.Arg(0), size = c.Arg(1), wanted = c.Arg(2);
    auto* old = static_cast<uint32_t*>(c.Bytes(3, 4));
    if (size == 0 || !KnownProtection(wanted) || old == nullptr) {
        p.SetLastError(old == nullptr ? uint32_t{kErrorNoAccess} : uint32_t{kErrorInvalidParameter});
        return 0;
    }
    const uint32_t first = address & ~(layout::kPage - 1);
    const uint64_t end = (static_cast<uint64_t>(address) + size + layout::kPage - 1) & ~uint64_t{layout::kPage - 1};
    const Machine::Region* region = RegionOf(p, first);
    if (region == nullptr || end > static_cast<uint64_t>(region->guest) + region->size) {
        p.SetLastError(kErrorInvalidAddress);
        return 0;
    }
    *old = ProtectionOf(p, *region, first);
    p.machine.Protect(first, static_cast<uint32_t>(end - first), EmulatorProtection(wanted));
    for (uint64_t page = first; page < end; page += layout::kPage) p.pageProtection[static_cast<uint32_t>(page)] = wanted;
    return 1;
}

} // namespace dvx::host::guest

#include "hostsim/kit/emulated/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dvx::host::guest {

namespace {

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMagicPe32 = 0x010b;
constexpr uint16_t kCharacteristicDll = 0x2000;
constexpr uint32_t kLargestImage = 256u << 20;
constexpr size_t kLargestName = 4096;

// Data directories a loader reads.
enum : uint32_t { kDirExport = 0, kDirImport = 1, kDirRelocation = 5, kDirTls = 9 };

// Base relocation types of a 32-bit image.
enum : uint16_t { kRelocAbsolute = 0, kRelocHighLow = 3 };

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
    uint16_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

PeImage::PeImage(const std::vector<uint8_t>& file, std::string where) : where_(std::move(where)) {
    ReadHeaders(file);
}

void PeImage::Fail(const std::string& what) const { throw PeError(where_ + ": " + what); }

uint32_t PeImage::Read32(uint32_t rva) const {
    if (rva > layout_.size() || layout_.size() - rva < 4) Fail("a directory points outside the image (" + Hex(rva) + ")");
    return Get32(layout_, rva);
}

uint16_t PeImage::Read16(uint32_t rva) const {
    if (rva > layout_.size() || layout_.size() - rva < 2) Fail("a directory points outside the image (" + Hex(rva) + ")");
    return Get16(layout_, rva);
}

std::string PeImage::ReadName(uint32_t rva) const {
    if (rva >= layout_.size()) Fail("a name lies outside the image (" + Hex(rva) + ")");
    const auto* start = reinterpret_cast<const char*>(layout_.data() + rva);
    const size_t room = std::min(layout_.size() - rva, kLargestName);
    const size_t length = strnlen(start, room);
    if (length == room) Fail("a name at " + Hex(rva) + " has no end");
    return std::string(start, length);
}

void PeImage::ReadHeaders(const std::vector<uint8_t>& file) {
    auto need = [&](size_t at, size_t bytes, const char* what) {
        if (at > file.size() || file.size() - at < bytes) Fail(std::string("the file ends inside its ") + what);
    };
    need(0, 64, "DOS header");
    if (file[0] != 'M' || file[1] != 'Z') Fail("not a PE file (no MZ header)");
    const uint32_t pe = Get32(file, 0x3c);
    need(pe, 24, "PE header");
    if (std::memcmp(file.data() + pe, "PE\0\0", 4) != 0) Fail("not a PE file (no PE signature)");
    if (Get16(file, pe + 4) != kMachineI386)
        Fail("not an i386 image (machine " + Hex(Get16(file, pe + 4)) + ")");
    const uint16_t sectionCount = Get16(file, pe + 6);
    const uint16_t optionalSize = Get16(file, pe + 20);
    if ((Get16(file, pe + 22) & kCharacteristicDll) == 0) Fail("an executable, not a DLL");
    const size_t opt = pe + 24;
    need(opt, std::max<size_t>(optionalSize, 96), "optional header");
    if (Get16(file, opt) != kMagicPe32) Fail("not a 32-bit (PE32) image");
    entryRva_ = Get32(file, opt + 16);
    preferredBase_ = Get32(file, opt + 28);
    const uint32_t imageSize = Get32(file, opt + 56);
    const uint32_t headerSize = Get32(file, opt + 60);
    const uint32_t directoryCount = Get32(file, opt + 92);
    if (imageSize == 0 || imageSize > kLargestImage) Fail("an image of " + std::to_string(imageSize) + " bytes");
    if (preferredBase_ % 0x10000 != 0) Fail("an image base that is not 64 KiB aligned");
    if (opt + 96 > imageSize) Fail("headers that do not fit the image's size");
    layout_.assign(imageSize, 0);
    const size_t headerBytes = std::min<size_t>({headerSize, imageSize, file.size()});
    std::memcpy(layout_.data(), file.data(), headerBytes);

    const size_t table = opt + optionalSize;
    need(table, size_t{40} * sectionCount, "section table");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const size_t s = table + size_t{40} * i;
        PeSection section;
        section.name.assign(reinterpret_cast<const char*>(file.data() + s), strnlen(reinterpret_cast<const char*>(file.data() + s), 8));
        const uint32_t virtualSize = Get32(file, s + 8);
        section.rva = Get32(file, s + 12);
        const uint32_t rawSize = Get32(file, s + 16);
        const uint32_t rawOffset = Get32(file, s + 20);
        section.characteristics = Get32(file, s + 36);
        section.size = std::max(virtualSize, rawSize);
        if (section.rva > imageSize || imageSize - section.rva < section.size)
            Fail("the section " + section.name + " lies beyond the image's size");
        // The raw bytes that the section's memory holds; the rest is zero.
        const uint32_t copied = std::min(rawSize, section.size);
        if (copied != 0) {
            need(rawOffset, copied, ("section " + section.name).c_str());
            std::memcpy(layout_.data() + section.rva, file.data() + rawOffset, copied);
        }
        sections_.push_back(section);
    }

    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
        *rva = *size = 0;
        if (index >= directoryCount || 96 + size_t{8} * (index + 1) > optionalSize) return false;
        *rva = Get32(file, opt + 96 + size_t{8} * index);
        *size = Get32(file, opt + 100 + size_t{8} * index);
        return *rva != 0 && *size != 0;
    };
    uint32_t rva = 0, size = 0;
    if (directory(kDirImport, &rva, &size)) ReadImports(rva, size);
    if (directory(kDirExport, &rva, &size)) ReadExports(rva, size);
    if (directory(kDirRelocation, &rva, &size)) ReadRelocations(rva, size);
    if (directory(kDirTls, &rva, &size)) {
        PeTls tls;
        tls.rawStart = Read32(rva);
        tls.rawEnd = Read32(rva + 4);
        tls.indexAddress = Read32(rva + 8);
        tls.callbacksAddress = Read32(rva + 12);
        tls.zeroFill = Read32(rva + 16);
        if (tls.rawEnd < tls.rawStart) Fail("a thread-storage template that ends before it starts");
        tls_ = tls;
    }
}

// IMAGE_IMPORT_DESCRIPTORs of 20 bytes, up to one of zeros; each names its
// DLL and two parallel tables of 32-bit thunks (names or ordinals, and the
// slots the loader fills).
void PeImage::ReadImports(uint32_t rva, uint32_t) {
    for (uint32_t d = rva;; d += 20) {
        const uint32_t lookup = Read32(d), nameRva = Read32(d + 12), slots = Read32(d + 16);
        if (lookup == 0 && nameRva == 0 && slots == 0) return;
        const std::string dll = ReadName(nameRva);
        const uint32_t names = lookup != 0 ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            const uint32_t thunk = Read32(names + 4 * i);
            if (thunk == 0) break;
            PeImport import{dll, "", 0, slots + 4 * i};
            if ((thunk & 0x80000000u) != 0)
                import.ordinal = static_cast<uint16_t>(thunk & 0xffff);
            else
                import.name = ReadName(thunk + 2);
            imports_.push_back(import);
        }
    }
}

void PeImage::ReadExports(uint32_t rva, uint32_t size) {
    const uint32_t ordinalBase = Read32(rva + 16);
    const uint32_t functionCount = Read32(rva + 20), nameCount = Read32(rva + 24);
    const uint32_t functions = Read32(rva + 28), names = Read32(rva + 32), ordinals = Read32(rva + 36);
    if (functionCount > layout_.size() / 4 || nameCount > layout_.size() / 4) Fail("an export table larger than the image");
    for (uint32_t i = 0; i < functionCount; ++i) {
        const uint32_t target = Read32(functions + 4 * i);
        // An address inside the directory forwards to another DLL's export,
        // which this loader does not follow.
        if (target != 0 && !(target >= rva && target < rva + size)) byOrdinal_[ordinalBase + i] = target;
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        const uint16_t index = Read16(ordinals + 2 * i);
        auto found = byOrdinal_.find(ordinalBase + index);
        if (found != byOrdinal_.end()) exports_[ReadName(Read32(names + 4 * i))] = found->second;
    }
}

// Blocks of a page's RVA, the block's size and 16-bit entries (type in the
// top four bits, offset in the page in the rest).
void PeImage::ReadRelocations(uint32_t rva, uint32_t size) {
    for (uint32_t block = rva; block + 8 <= rva + size;) {
        const uint32_t page = Read32(block), bytes = Read32(block + 4);
        if (bytes < 8 || bytes > rva + size - block) Fail("a base relocation block of " + std::to_string(bytes) + " bytes");
        for (uint32_t e = block + 8; e + 2 <= block + bytes; e += 2) {
            const uint16_t entry = Read16(e);
            const uint16_t type = static_cast<uint16_t>(entry >> 12);
            if (type == kRelocAbsolute) continue;
            if (type != kRelocHighLow) Fail("a base relocation of type " + std::to_string(type));
            const uint32_t at = page + (entry & 0x0fffu);
            if (at > layout_.size() || layout_.size() - at < 4) Fail("a base relocation outside the image");
            relocations_.push_back(at);
        }
        block += bytes;
    }
}

std::vector<uint8_t> PeImage::LayoutAt(uint32_t base) const {
    std::vector<uint8_t> image = layout_;
    const uint32_t delta = base - preferredBase_; // modulo 2^32, as the loader adds it
    if (delta == 0) return image;
    for (uint32_t at : relocations_) {
        uint32_t value = Get32(image, at);
        value += delta;
        std::memcpy(image.data() + at, &value, sizeof value);
    }
    // The image header records where it now lies.
    const uint32_t pe = Get32(image, 0x3c);
    std::memcpy(image.data() + pe + 24 + 28, &base, sizeof base);
    return image;
}

std::optional<PeTls> PeImage::TlsAt(uint32_t base) const {
    if (!tls_) return std::nullopt;
    const uint32_t delta = base - preferredBase_;
    PeTls tls = *tls_;
    tls.rawStart += delta;
    tls.rawEnd += delta;
    tls.indexAddress += delta;
    if (tls.callbacksAddress != 0) tls.callbacksAddress += delta;
    return tls;
}

} // namespace dvx::host::guest

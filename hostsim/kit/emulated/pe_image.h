// A 32-bit Windows DLL (PE32, i386) read the way a loader reads it: the
// headers checked, the sections laid out at their relative addresses, and the
// directories a loader needs (imports, base relocations, exports, thread
// storage) read from that layout. Every read is bounded: a damaged file is a
// PeError naming what is wrong, never a read past the file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dvx::host::guest {

class PeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PeSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;            // in memory (VirtualSize, or the raw size if that is larger)
    uint32_t characteristics = 0; // IMAGE_SCN_MEM_EXECUTE, _READ, _WRITE
};

struct PeImport {
    std::string dll;  // as the import directory spells it
    std::string name; // empty for an import by ordinal
    uint16_t ordinal = 0;
    uint32_t slotRva = 0; // its entry in the import address table
};

// The thread-storage directory, its addresses as the image holds them
// (absolute, at the image's preferred base until relocated).
struct PeTls {
    uint32_t rawStart = 0, rawEnd = 0;
    uint32_t indexAddress = 0;
    uint32_t callbacksAddress = 0;
    uint32_t zeroFill = 0;
};

class PeImage {
public:
    // Checks the headers of `file` and lays the image out; `where` names the
    // file in messages.
    PeImage(const std::vector<uint8_t>& file, std::string where);

    uint32_t PreferredBase() const { return preferredBase_; }
    uint32_t EntryRva() const { return entryRva_; }
    const std::vector<PeSection>& Sections() const { return sections_; }
    const std::vector<PeImport>& Imports() const { return imports_; }
    const std::optional<PeTls>& Tls() const { return tls_; }
    // Export names and their relative addresses; by ordinal as well.
    const std::map<std::string, uint32_t>& Exports() const { return exports_; }
    const std::map<uint32_t, uint32_t>& ExportsByOrdinal() const { return byOrdinal_; }
    // The image as it lies in memory (SizeOfImage bytes), at its preferred base.
    const std::vector<uint8_t>& Layout() const { return layout_; }

    // The layout relocated to `base`: every absolute address the base
    // relocations name moved by base - PreferredBase().
    std::vector<uint8_t> LayoutAt(uint32_t base) const;
    // The thread-storage directory as it reads at `base`.
    std::optional<PeTls> TlsAt(uint32_t base) const;

private:
    uint32_t Read32(uint32_t rva) const;
    uint16_t Read16(uint32_t rva) const;
    std::string ReadName(uint32_t rva) const;
    [[noreturn]] void Fail(const std::string& what) const;

    void ReadHeaders(const std::vector<uint8_t>& file);
    void ReadImports(uint32_t rva, uint32_t size);
    void ReadExports(uint32_t rva, uint32_t size);
    void ReadRelocations(uint32_t rva, uint32_t size);

    std::string where_;
    uint32_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    std::vector<PeSection> sections_;
    std::vector<PeImport> imports_;
    std::map<std::string, uint32_t> exports_;
    std::map<uint32_t, uint32_t> byOrdinal_;
    std::vector<uint32_t> relocations_; // RVAs of 32-bit absolute addresses
    std::optional<PeTls> tls_;
    std::vector<uint8_t> layout_;
};

} // namespace dvx::host::guest

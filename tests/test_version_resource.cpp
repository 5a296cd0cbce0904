// The version resource of the built Dolvanex.dll, read back the way Windows
// reads it for the file's properties: it carries the project's version.
#include "hostsim/kit/library.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> ReadVersionResource(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<uint8_t> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
    return data;
}

// One string of the U.S.-English Unicode table, narrowed (the texts are ASCII);
// "(missing)" when the resource lacks it.
std::string StringValue(std::vector<uint8_t>& data, const std::wstring& name) {
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), key.c_str(), &value, &length) || value == nullptr) return "(missing)";
    std::string text;
    for (const wchar_t* c = static_cast<const wchar_t*>(value); *c != L'\0'; ++c)
        text.push_back(static_cast<char>(*c));
    return text;
}

class VersionResource : public ::testing::Test {
protected:
    void SetUp() override {
        data = ReadVersionResource(dvx::host::LibraryBesideProgram("Dolvanex").wstring());
        ASSERT_FALSE(data.empty()) << "Dolvanex.dll has no version resource";
    }
    std::vector<uint8_t> data;
};

TEST_F(VersionResource, FixedFileInfoCarriesTheProjectVersion) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    const DWORD high = (DWORD{DVX_VERSION_MAJOR} << 16) | DWORD{DVX_VERSION_MINOR};
    const DWORD low = DWORD{DVX_VERSION_PATCH} << 16;
    EXPECT_EQ(info->dwFileVersionMS, high);
    EXPECT_EQ(info->dwFileVersionLS, low);
    EXPECT_EQ(info->dwProductVersionMS, high);
    EXPECT_EQ(info->dwProductVersionLS, low);
    EXPECT_EQ(info->dwFileType, DWORD{VFT_DLL});
}

TEST_F(VersionResource, StringTableNamesTheProductAndItsVersion) {
    struct Row {
        const wchar_t* name;
        std::string expected;
    };
    const Row rows[] = {
        {L"FileVersion", DVX_VERSION},
        {L"ProductVersion", DVX_VERSION},
        {L"ProductName", "Dolvanex"},
        {L"OriginalFilename", "Dolvanex.dll"},
        {L"InternalName", "Dolvanex"},
        {L"FileDescription", "Dolvanex ideal rotational-to-rotational transformation component"},
    };
    for (const Row& row : rows) {
        std::wstring name(row.name);
        EXPECT_EQ(StringValue(data, name), row.expected) << std::string(name.begin(), name.end());
    }
}

} // namespace

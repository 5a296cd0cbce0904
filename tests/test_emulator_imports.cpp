// The KERNEL32.dll and msvcrt.dll functions of the emulated process, each
// called as the library calls it (its arguments on the guest's stack, its
// trap entry's address), with the results and last errors Windows documents.
#include "hostsim/kit/emulated/block_window.h"
#include "hostsim/kit/emulated/guest_process.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace dvx::host::guest {
namespace {

class Imports : public ::testing::Test {
protected:
    Imports() {
        BlockWindow& window = BlockWindow::Instance();
        p.machine.MapShared(layout::kWindow, window.Size(), window.Host(), "the host's memory blocks");
    }

    uint32_t Call(const char* dll, const char* name, std::initializer_list<uint32_t> arguments) {
        const uint32_t function = p.Provided(dll, name);
        if (function == 0) throw std::runtime_error(std::string("no ") + name);
        const std::vector<uint32_t> words(arguments);
        return p.machine.Call(function, words);
    }
    uint32_t K(const char* name, std::initializer_list<uint32_t> arguments) { return Call("kernel32.dll", name, arguments); }
    uint32_t C(const char* name, std::initializer_list<uint32_t> arguments) { return Call("msvcrt.dll", name, arguments); }

    // Bytes in the guest's heap, for arguments.
    uint32_t Put(const void* bytes, size_t count) {
        const uint32_t at = p.heap.Allocate(static_cast<uint32_t>(count));
        std::memcpy(p.machine.Host(at, count), bytes, count);
        return at;
    }
    uint32_t Text(const std::string& text) { return Put(text.c_str(), text.size() + 1); }
    std::string TextAt(uint32_t at) { return p.machine.Text(at); }
    std::string Fault(const std::function<void()>& call) {
        try {
            call();
        } catch (const GuestFault& e) {
            return e.what();
        }
        return "(no fault)";
    }

    GuestProcess p;
};

TEST_F(Imports, TheHeapGivesAlignedZeroedAndResizedBlocksAndRefusesStrangers) {
    const size_t before = p.heap.Allocations();
    const uint32_t a = C("malloc", {0}), b = C("malloc", {0});
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b) << "malloc(0) gives a block of its own";
    const uint32_t zeroed = C("calloc", {10, 10});
    ASSERT_NE(zeroed, 0u);
    EXPECT_EQ(zeroed % 16, 0u);
    for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(static_cast<uint8_t*>(p.machine.Host(zeroed, 100))[i], 0) << i;
    std::memcpy(p.machine.Host(zeroed, 6), "grown", 6);
    const uint32_t grown = C("realloc", {zeroed, 100000});
    EXPECT_EQ(TextAt(grown), "grown");
    EXPECT_EQ(C("calloc", {0x10000, 0x10000}), 0u) << "2^32 bytes";
    EXPECT_EQ(p.machine.Read32(GuestProcess::kErrno), 12u);
    EXPECT_EQ(C("realloc", {grown, 0}), 0u);
    C("free", {a});
    C("free", {b});
    C("free", {0});
    EXPECT_EQ(p.heap.Allocations(), before);
    EXPECT_NE(Fault([&] { C("free", {a}); }).find("free: a pointer that malloc never gave out"), std::string::npos);
    EXPECT_NE(Fault([&] { C("realloc", {layout::kStackBottom, 8}); }).find("never gave out"), std::string::npos);
}

TEST_F(Imports, TextFunctionsAnswerAsTheCRuntimeDoes) {
    const uint32_t s = Text("RATIO,2");
    EXPECT_EQ(C("strlen", {s}), 7u);
    EXPECT_EQ(C("strchr", {s, ','}), s + 5);
    EXPECT_EQ(C("strchr", {s, 'x'}), 0u);
    EXPECT_EQ(C("strchr", {s, 0}), s + 7) << "the terminator is part of the text";
    const struct {
        const char *a, *b;
        uint32_t n, strcmp, strncmp;
    } compared[] = {{"abc", "abd", 2, 0xffffffffu, 0}, {"b", "a", 1, 1, 1}, {"same", "same", 9, 0, 0},
                    {"\xe9", "a", 1, 1, 1}}; // unsigned: 0xe9 is after 'a'
    for (const auto& row : compared) {
        EXPECT_EQ(C("strcmp", {Text(row.a), Text(row.b)}), row.strcmp) << row.a << " " << row.b;
        EXPECT_EQ(C("strncmp", {Text(row.a), Text(row.b), row.n}), row.strncmp) << row.a << " " << row.b;
    }
    for (const auto& [text, value] : {std::pair{"  -42x", -42}, std::pair{"+7", 7}, std::pair{"99999999999", INT32_MAX},
                                      std::pair{"", 0}})
        EXPECT_EQ(static_cast<int32_t>(C("atoi", {Text(text)})), value) << text;
    const uint32_t buffer = Text("0123456789");
    EXPECT_EQ(C("memcpy", {buffer + 2, buffer, 5}), buffer + 2);
    EXPECT_EQ(TextAt(buffer), "0101234789") << "overlapping copies move the bytes as they were";
    C("memset", {buffer, 'x' + 0x100, 3});
    EXPECT_EQ(TextAt(buffer), "xxx1234789");
    EXPECT_EQ(C("strcpy", {buffer, Text("K")}), buffer);
    EXPECT_EQ(TextAt(buffer), "K");
    EXPECT_EQ(TextAt(C("strerror", {2})), "No such file or directory");
    EXPECT_EQ(TextAt(C("strerror", {999})), "Unknown error");
    EXPECT_NE(Fault([&] { C("strlen", {0}); }).find("strlen: a null text"), std::string::npos);
}

TEST_F(Imports, MovableBlocksLockWhereTheGuestSeesTheHostsBytes) {
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 64);
    const uint32_t guest = K("GlobalLock", {block});
    ASSERT_NE(guest, 0u);
    EXPECT_EQ(guest, BlockWindow::Instance().GuestOf(GlobalLock(block), 64));
    std::memcpy(GlobalLock(block), "shared", 7);
    EXPECT_EQ(TextAt(guest), "shared");
    EXPECT_EQ(GlobalFlags(block) & GMEM_LOCKCOUNT, 3u);
    GlobalUnlock(block);
    GlobalUnlock(block);
    EXPECT_EQ(K("GlobalSize", {block}), 64u);
    EXPECT_EQ(K("GlobalUnlock", {block}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 0u) << "the last unlock";
    EXPECT_EQ(K("GlobalUnlock", {block}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 158u) << "ERROR_NOT_LOCKED";

    const HGLOBAL unsized = DvxGlobalAllocUnsized(GMEM_ZEROINIT, 16);
    K("SetLastError", {0});
    EXPECT_EQ(K("GlobalSize", {unsized}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 6u) << "a size that is not kept reads 0 with ERROR_INVALID_HANDLE";
    EXPECT_NE(K("GlobalLock", {unsized}), 0u);
    K("GlobalUnlock", {unsized});

    ASSERT_NE(GlobalReAlloc(block, 0, GMEM_MOVEABLE), HGLOBAL{}); // discarded
    EXPECT_EQ(K("GlobalLock", {block}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 157u) << "ERROR_DISCARDED";
    GlobalFree(block);
    GlobalFree(unsized);
    EXPECT_EQ(K("GlobalLock", {block}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 6u) << "a freed handle";
    EXPECT_EQ(GlobalFlags(block), GMEM_INVALID_HANDLE);
}

TEST_F(Imports, CriticalSectionsCountTheirOneThreadsEntries) {
    const uint32_t cs = p.heap.Allocate(24);
    K("InitializeCriticalSection", {cs});
    K("EnterCriticalSection", {cs});
    K("EnterCriticalSection", {cs});
    EXPECT_EQ(p.machine.Read32(cs + 8), 2u);
    EXPECT_EQ(p.machine.Read32(cs + 12), GuestProcess::kThreadId);
    K("LeaveCriticalSection", {cs});
    K("LeaveCriticalSection", {cs});
    EXPECT_EQ(p.machine.Read32(cs + 12), 0u);
    EXPECT_NE(Fault([&] { K("LeaveCriticalSection", {cs}); }).find("not held"), std::string::npos);
    K("DeleteCriticalSection", {cs});
}

TEST_F(Imports, ModulesAreFoundByAnyOfTheirNamesAndOnlyTheseExist) {
    const uint32_t kernel32 = K("GetModuleHandleA", {Text("KERNEL32.DLL")});
    ASSERT_NE(kernel32, 0u);
    EXPECT_EQ(K("GetModuleHandleA", {Text("kernel32")}), kernel32);
    EXPECT_EQ(K("LoadLibraryA", {Text("C:\\Windows\\System32\\kernel32.dll")}), kernel32);
    const char16_t wide[] = u"Msvcrt.dll";
    const uint32_t msvcrt = K("GetModuleHandleW", {Put(wide, sizeof wide)});
    EXPECT_NE(msvcrt, 0u);
    EXPECT_NE(msvcrt, kernel32);
    EXPECT_EQ(K("GetProcAddress", {kernel32, Text("GlobalLock")}), p.Provided("kernel32.dll", "GlobalLock"));
    EXPECT_EQ(K("GetProcAddress", {msvcrt, Text("_iob")}), GuestProcess::kIob);
    const struct {
        const char* function;
        uint32_t result, error;
        std::function<uint32_t()> call;
    } refused[] = {
        {"LoadLibraryA", 0, 126, [&] { return K("LoadLibraryA", {Text("libgcc_s_dw2-1.dll")}); }},
        {"GetModuleHandleA", 0, 126, [&] { return K("GetModuleHandleA", {Text("user32.dll")}); }},
        {"GetProcAddress", 0, 127, [&] { return K("GetProcAddress", {kernel32, Text("CreateFileW")}); }},
        {"GetProcAddress", 0, 127, [&] { return K("GetProcAddress", {kernel32, 42}); }},
        {"FreeLibrary", 0, 6, [&] { return K("FreeLibrary", {0x12340000}); }},
    };
    for (const auto& row : refused) {
        K("SetLastError", {0});
        EXPECT_EQ(row.call(), row.result) << row.function;
        EXPECT_EQ(K("GetLastError", {}), row.error) << row.function;
    }
    EXPECT_EQ(K("FreeLibrary", {kernel32}), 1u);
}

TEST_F(Imports, VirtualQueryDescribesRegionsAndVirtualProtectChangesWhatTheGuestMayDo) {
    const uint32_t info = p.heap.Allocate(28);
    EXPECT_EQ(K("VirtualQuery", {layout::kStackBottom + 0x1234, info, 28}), 28u);
    EXPECT_EQ(p.machine.Read32(info), layout::kStackBottom + 0x1000);     // BaseAddress
    EXPECT_EQ(p.machine.Read32(info + 4), layout::kStackBottom);          // AllocationBase
    EXPECT_EQ(p.machine.Read32(info + 16), 0x1000u);                      // MEM_COMMIT
    EXPECT_EQ(p.machine.Read32(info + 20), 0x04u);                        // PAGE_READWRITE
    EXPECT_EQ(K("VirtualQuery", {0x00400000, info, 28}), 28u);
    EXPECT_EQ(p.machine.Read32(info + 16), 0x10000u) << "MEM_FREE";
    EXPECT_EQ(K("VirtualQuery", {0x00400000, info, 27}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 24u) << "ERROR_BAD_LENGTH";

    const uint32_t page = layout::kHeap + 0x100000, old = p.heap.Allocate(4);
    EXPECT_EQ(K("VirtualProtect", {page, 16, 0x02, old}), 1u); // PAGE_READONLY
    EXPECT_EQ(p.machine.Read32(old), 0x04u);
    K("VirtualQuery", {page, info, 28});
    EXPECT_EQ(p.machine.Read32(info + 20), 0x02u);
    EXPECT_EQ(p.machine.Read32(info + 12), 0x1000u) << "one page of its own protection";
    const std::vector<uint8_t> store = {0xc6, 0x05, 0, 0, 0, 0, 0x01, 0xc3}; // mov byte [page], 1; ret
    std::vector<uint8_t> code = store;
    std::memcpy(code.data() + 2, &page, 4);
    const uint32_t write = p.machine.AddCode(code);
    EXPECT_NE(Fault([&] { p.machine.Call(write, {}); }).find("a write to protected memory"), std::string::npos);
    EXPECT_EQ(K("VirtualProtect", {page, 16, 0x04, old}), 1u);
    p.machine.Call(write, {});
    EXPECT_EQ(K("VirtualProtect", {0x00400000, 16, 0x04, old}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 487u) << "ERROR_INVALID_ADDRESS";
}

TEST_F(Imports, CodePagesConvertToUtf16AndBack) {
    const struct {
        uint32_t codePage;
        std::string bytes;
        std::u16string wide;
    } rows[] = {
        {0, "\x80x\xe9", u"\u20acx\u00e9"}, // CP_ACP is Windows-1252
        {1252, "\x81", u"\u0081"},           // undefined in 1252: the same number
        {65001, "\xc3\xa9\xe2\x82\xac", u"\u00e9\u20ac"},
        {65001, "\xf0\x9f\x98\x80", u"\U0001f600"}, // a surrogate pair
        {65001, "\xc0\xafz", u"\ufffd\ufffdz"},     // an overlong '/' is no character
        {20127, "\xe9", u"?"},
    };
    for (const auto& row : rows) {
        const uint32_t bytes = Put(row.bytes.data(), row.bytes.size());
        const auto n = static_cast<uint32_t>(row.bytes.size());
        EXPECT_EQ(K("MultiByteToWideChar", {row.codePage, 0, bytes, n, 0, 0}), row.wide.size()) << row.bytes;
        const uint32_t out = p.heap.Allocate(64);
        ASSERT_EQ(K("MultiByteToWideChar", {row.codePage, 0, bytes, n, out, 32}), row.wide.size());
        EXPECT_EQ(std::memcmp(p.machine.Host(out, 2 * row.wide.size()), row.wide.data(), 2 * row.wide.size()), 0)
            << row.bytes;
    }
    const uint32_t euro = Text("\x80\x80\x80");
    EXPECT_EQ(K("MultiByteToWideChar", {1252, 0, euro, 0xffffffffu, p.heap.Allocate(8), 2}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 122u) << "ERROR_INSUFFICIENT_BUFFER";
    EXPECT_EQ(K("MultiByteToWideChar", {437, 0, euro, 3, 0, 0}), 0u);
    EXPECT_EQ(K("GetLastError", {}), 87u) << "a code page this process does not know";

    const char16_t wide[] = u"\u20ac\u4e2d";
    const uint32_t text = Put(wide, sizeof wide), out = p.heap.Allocate(16), used = p.heap.Allocate(4);
    EXPECT_EQ(K("WideCharToMultiByte", {1252, 0, text, 0xffffffffu, out, 16, 0, used}), 3u);
    EXPECT_EQ(TextAt(out), "\x80?");
    EXPECT_EQ(p.machine.Read32(used), 1u) << "the default character stood in";
    EXPECT_EQ(K("WideCharToMultiByte", {65001, 0, text, 2, out, 16, 0, 0}), 6u);
    EXPECT_EQ(std::string(static_cast<char*>(p.machine.Host(out, 6)), 6), "\xe2\x82\xac\xe4\xb8\xad");
    EXPECT_EQ(K("WideCharToMultiByte", {65001, 0, text, 2, out, 16, 0, used}), 0u) << "UTF-8 takes no default";
}

TEST_F(Imports, TheCLocaleIsTheOnlyOne) {
    EXPECT_EQ(TextAt(C("setlocale", {0, 0})), "C");
    EXPECT_EQ(TextAt(C("setlocale", {0, Text("")})), "C");
    EXPECT_EQ(C("setlocale", {0, Text("German_Germany.1252")}), 0u);
    EXPECT_EQ(C("setlocale", {6, 0}), 0u) << "no such category";
    EXPECT_EQ(TextAt(p.machine.Read32(C("localeconv", {}))), ".");
    EXPECT_EQ(p.machine.Read32(p.Provided("msvcrt.dll", "__mb_cur_max")), 1u);
}

TEST_F(Imports, PrintfFormatsTheGuestsArgumentsAsMsvcrtDoes) {
    const struct {
        const char* format;
        std::vector<uint32_t> words;
        std::string text;
    } rows[] = {
        {"%d|%5d|%-3u|%x|%X|%o", {static_cast<uint32_t>(-7), 42, 3, 255, 255, 8}, "-7|   42|3  |ff|FF|10"},
        {"%I64d %lld", {0xffffffffu, 0x7fffffffu, 5, 0}, "9223372036854775807 5"},
        {"%.3f %e %g|%10.2E", {0, 0x3ff80000u, 0, 0x40590000u, 0, 0x3fe00000u, 0, 0x40590000u},
         "1.500 1.000000e+002 0.5| 1.00E+002"},
        {"%p %c%c %%", {0x1234, 'o', 'k'}, "00001234 ok %"},
        {"%*d|%.*s|%s", {4, 7, 2, 0 /* the text */, 0}, "   7|ab|(null)"},
        {"VirtualQuery failed for %d bytes at address %p", {8, 0x699c1000u}, "VirtualQuery failed for 8 bytes at address 699C1000"},
    };
    for (const auto& row : rows) {
        std::vector<uint32_t> words = row.words;
        if (std::string(row.format).find(".*s") != std::string::npos) words[3] = Text("abc");
        const uint32_t args = Put(words.data(), 4 * words.size());
        EXPECT_EQ(FormatGuest(p.machine, row.format, args), row.text) << row.format;
    }
    EXPECT_NE(Fault([&] { FormatGuest(p.machine, "%n", p.heap.Allocate(4)); }).find("%n"), std::string::npos);
}

// _initterm calls back into the library: each non-null pointer in turn.
TEST_F(Imports, InittermCallsEachFunctionOfItsTableInOrder) {
    const uint32_t log = p.heap.Allocate(16);
    auto appender = [&](uint8_t value) { // mov eax, [log]; mov byte [log+4+eax], value; inc dword [log]; ret
        std::vector<uint8_t> code = {0xa1, 0, 0, 0, 0, 0xc6, 0x80, 0, 0, 0, 0, value, 0xff, 0x05, 0, 0, 0, 0, 0xc3};
        const uint32_t bytes = log + 4;
        std::memcpy(code.data() + 1, &log, 4);
        std::memcpy(code.data() + 7, &bytes, 4);
        std::memcpy(code.data() + 14, &log, 4);
        return p.machine.AddCode(code);
    };
    const uint32_t table[] = {appender('a'), 0, appender('b'), appender('c')};
    const uint32_t begin = Put(table, sizeof table);
    C("_initterm", {begin, begin + 4 * 4});
    EXPECT_EQ(p.machine.Read32(log), 3u);
    EXPECT_EQ(std::string(static_cast<char*>(p.machine.Host(log + 4, 3)), 3), "abc");
    C("_initterm", {begin, begin}); // an empty table
    EXPECT_EQ(p.machine.Read32(log), 3u);
}

TEST_F(Imports, TheRuntimesWaysOfStoppingEndTheCallWithAMessage) {
    EXPECT_NE(Fault([&] { C("abort", {}); }).find("the library called abort()"), std::string::npos);
    EXPECT_NE(Fault([&] { C("_amsg_exit", {24}); }).find("runtime error R6024"), std::string::npos);
    EXPECT_NE(Fault([&] { K("Sleep", {0xffffffffu}); }).find("sleeping for ever"), std::string::npos);
}

} // namespace
} // namespace dvx::host::guest

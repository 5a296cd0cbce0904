// Hosts built with other compilers guarantee a 4-byte-aligned stack only.
// Every export, called with the stack at each 4-byte position modulo 16,
// gives what it gives when called from our own code: an aligned SSE access
// to a stack slot would fault at three of the four. Windows (i686) only.
#include "hostsim/kit/native_library.h"
#include "tests/fixture.h"
#include "tests/life_trace.h"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

// DvxCallShifted(function, arguments, count, residue) calls the cdecl
// `function` with `count` 32-bit arguments so that the stack pointer on its
// entry, with the return address pushed, is `residue` modulo 16; it returns
// what the function returned in eax. DvxEntryStack returns the stack pointer
// at its own entry, so that a test can see where the thunk put it.
extern "C" uint32_t DvxCallShifted(const void* function, const uint32_t* arguments, uint32_t count,
                                   uint32_t residue);
extern "C" uint32_t DvxEntryStack(void);

__asm__(R"(
    .text
    .globl _DvxCallShifted
_DvxCallShifted:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl 20(%ebp), %edx
    movl %esp, %edi
    andl $-16, %esp
    # Pad so that after the arguments and the return address the stack
    # pointer is the residue: pad = -(4 * count + 4 + residue) mod 16.
    leal 4(%edx,%ecx,4), %eax
    negl %eax
    andl $15, %eax
    subl %eax, %esp
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl %edi, %esp
    popl %edi
    popl %esi
    popl %ebp
    ret

    .globl _DvxEntryStack
_DvxEntryStack:
    movl %esp, %eax
    ret
)");

namespace dvx::test {
namespace {

constexpr uint32_t kResidues[] = {0, 4, 8, 12};

template <typename T>
uint32_t Word(T value) {
    static_assert(sizeof(T) == 4, "cdecl passes 32-bit words");
    uint32_t word = 0;
    std::memcpy(&word, &value, sizeof word);
    return word;
}

template <typename... Args>
uint32_t CallAt(uint32_t residue, const void* function, Args... args) {
    const std::array<uint32_t, sizeof...(Args)> words{Word(args)...};
    return DvxCallShifted(function, words.data(), static_cast<uint32_t>(words.size()), residue);
}

template <typename Function>
const void* Address(Function* function) {
    return reinterpret_cast<const void*>(function);
}

TEST(StackThunk, PutsTheStackAtTheResidueAskedFor) {
    for (const uint32_t residue : kResidues) {
        EXPECT_EQ(CallAt(residue, Address(&DvxEntryStack)) % 16, residue);
        EXPECT_EQ(CallAt(residue, Address(&DvxEntryStack), 1, 2, 3, 4, 5) % 16, residue);
    }
}

// The exports as the platform's loader resolved them, to be called with a
// stack of this test's making.
class StackAlignment : public ComponentTest {
protected:
    const host::NativeExports& Raw() { return dynamic_cast<const host::NativeLibrary&>(lib()).Exports(); }
};

TEST_F(StackAlignment, ExportsWithoutInstancesGiveTheSameAtEveryAlignment) {
    for (const uint32_t residue : kResidues) {
        SCOPED_TRACE("stack at " + std::to_string(residue) + " modulo 16");
        EXPECT_EQ(CallAt(residue, Address(Raw().getVersionNumber)),
                  static_cast<uint32_t>(lib().GetVersionNumber()));
        EXPECT_EQ(CallAt(residue, Address(Raw().modelOptions)),
                  static_cast<uint32_t>(lib().ModelOptions()));

        ModelDescriptor directDescriptor{0xFFFF, 0xFFFF, 0xFFFF};
        ModelDescriptor shiftedDescriptor = directDescriptor;
        const int32_t directResult =
            lib().Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &directDescriptor);
        EXPECT_EQ(CallAt(residue, Address(Raw().init), &host::HostRecorder::Message, &host::HostRecorder::Query,
                         &shiftedDescriptor),
                  static_cast<uint32_t>(directResult));
        EXPECT_EQ(std::memcmp(&shiftedDescriptor, &directDescriptor, sizeof directDescriptor), 0);

        // One static record, of which each entry writes the fields of its
        // kind: the shifted calls of every index, in order, must leave it as
        // the direct calls do, each sequence after a full one.
        const NodeInfo* record = lib().ListNodeInfo(0);
        auto catalogue = [&](auto list) {
            std::vector<std::pair<uint32_t, std::array<uint8_t, sizeof(NodeInfo)>>> seen;
            for (int32_t index = -1; index <= kCatalogueEntries; ++index) {
                seen.emplace_back(list(index), std::array<uint8_t, sizeof(NodeInfo)>{});
                std::memcpy(seen.back().second.data(), record, sizeof(NodeInfo));
            }
            return seen;
        };
        const auto directList = [&](int32_t index) { return Word(lib().ListNodeInfo(index)); };
        catalogue(directList);
        const auto expected = catalogue(directList);
        const auto shiftedList = [&](int32_t index) { return CallAt(residue, Address(Raw().listNodeInfo), index); };
        EXPECT_TRUE(catalogue(shiftedList) == expected);
    }
}

// The whole life of an instance, both kinds of K, with the host's callbacks
// called from inside the shifted calls.
TEST_F(StackAlignment, AWholeLifeThroughUDMMainIsTheSameAtEveryAlignment) {
    recorder.onValue = [](const double*, double* value) { *value = -3.5; };
    const MainCall direct = MainOf(lib());
    for (const char* parameter : {"2.5k", "RATIO"}) {
        SCOPED_TRACE(std::string("K ") + parameter);
        host::OwnedBlock blocks[4] = {host::OwnedBlock(kInstanceDataSize), host::OwnedBlock(64),
                                      host::OwnedBlock(48), host::OwnedBlock(128)};
        const LifeBlocks life{blocks[0].Handle(), blocks[1].Handle(), blocks[2].Handle(), blocks[3].Handle()};
        const LifeTrace expected = RunLife(direct, life, host::BlockLayout{}, parameter, recorder);
        ASSERT_EQ(expected.statuses.front(), kStatusOk);
        for (const uint32_t residue : kResidues) {
            SCOPED_TRACE("stack at " + std::to_string(residue) + " modulo 16");
            const MainCall shifted = [&](int32_t callType, char* text, double* in, double* out,
                                         uint32_t instanceHandle, uint32_t interfaceHandle) {
                return static_cast<int32_t>(CallAt(residue, Address(Raw().main), callType,
                                                   text, in, out, instanceHandle, interfaceHandle));
            };
            ExpectSameLife(expected, RunLife(shifted, life, host::BlockLayout{}, parameter, recorder));
        }
    }
}

} // namespace
} // namespace dvx::test

// Blocks whose size cannot be read: a host that provides only GlobalLock and
// GlobalUnlock, or its own memory as fixed handles on Windows. The component
// then takes the layout the host declares, and a whole life gives what it
// gives on blocks whose size the component checks. Blocks the platform
// allocated keep their checks, however they are passed.
#include "tests/fixture.h"
#include "tests/life_trace.h"
#include "tests/unsized_block.h"

#include <string>

namespace dvx::test {
namespace {

enum : unsigned { kInstance = 1, kInterface = 2, kVector = 4, kMatrix = 8 };

// Blocks of the layout's sizes; those named in `unsized` cannot tell theirs.
class HostBlocks {
public:
    HostBlocks(const host::BlockLayout& layout, unsigned unsized) : unsized_(unsized) {
        blocks.instance = Make(kInstance, layout.instanceSize);
        blocks.interfaceBlock = Make(kInterface, layout.interfaceSize);
        blocks.vector = Make(kVector, layout.vectorSize);
        blocks.matrix = Make(kMatrix, layout.matrixSize);
    }
    ~HostBlocks() {
        Free(kInstance, blocks.instance);
        Free(kInterface, blocks.interfaceBlock);
        Free(kVector, blocks.vector);
        Free(kMatrix, blocks.matrix);
    }
    HostBlocks(const HostBlocks&) = delete;
    HostBlocks& operator=(const HostBlocks&) = delete;

    LifeBlocks blocks;

private:
    uint32_t Make(unsigned which, size_t bytes) const {
        return (unsized_ & which) != 0 ? AllocUnsizedBlock(bytes) : host::AllocateBlock(bytes);
    }
    void Free(unsigned which, uint32_t handle) const {
        if ((unsized_ & which) != 0) {
            FreeUnsizedBlock(handle);
        } else {
            host::FreeBlock(handle);
        }
    }
    unsigned unsized_;
};

class UnsizedBlocks : public ComponentTest {
protected:
    LifeTrace Life(const host::BlockLayout& layout, unsigned unsized, const std::string& parameter) {
        HostBlocks host(layout, unsized);
        const LifeTrace trace = RunLife(MainOf(lib()), host.blocks, layout, parameter, recorder);
        for (const uint32_t handle :
             {host.blocks.instance, host.blocks.interfaceBlock, host.blocks.vector, host.blocks.matrix})
            EXPECT_EQ(host::LockCount(handle), 0u) << "a block stayed locked";
        return trace;
    }
};

TEST_F(UnsizedBlocks, ALifeOnBlocksWhoseSizeCannotBeReadIsTheLifeOnCheckedBlocks) {
    host::BlockLayout odd; // offsets at odd bytes, well inside larger blocks
    odd.vectorSize = 64;
    odd.variablesOffset = 3;
    odd.rhsOffset = 29;
    odd.matrixSize = 160;
    odd.columnsOffset = 1;
    odd.rowsOffset = 37;
    odd.valuesOffset = 75;
    const struct {
        const char* what;
        host::BlockLayout layout;
    } layouts[] = {{"the kit's layout", host::BlockLayout{}}, {"odd offsets", odd}};
    const struct {
        const char* what;
        unsigned unsized;
    } choices[] = {{"InstanceData", kInstance},
                   {"InterfaceBlock", kInterface},
                   {"VectorBlock", kVector},
                   {"MatrixBlock", kMatrix},
                   {"all four", kInstance | kInterface | kVector | kMatrix}};
    recorder.onValue = [](const double*, double* value) { *value = -4.0; };
    for (const auto& layout : layouts) {
        for (const char* parameter : {"2.5", "RATIO"}) {
            SCOPED_TRACE(std::string(layout.what) + ", K " + parameter);
            const LifeTrace checked = Life(layout.layout, 0, parameter);
            ASSERT_EQ(checked.statuses.front(), kStatusOk);
            for (const auto& choice : choices) {
                SCOPED_TRACE(std::string("size unknown: ") + choice.what);
                ExpectSameLife(checked, Life(layout.layout, choice.unsized, parameter));
            }
        }
    }
}

// Blocks that GlobalAlloc made keep their size checks, fixed ones included:
// on Windows their handles are pointers, as a host's own memory is, but
// their size reads.
TEST_F(UnsizedBlocks, PlatformBlocksTooSmallForTheirLayoutAreStillRefused) {
    const struct {
        const char* what;
        unsigned which;
        size_t bytes;
    } cases[] = {{"InstanceData", kInstance, 100}, {"InterfaceBlock", kInterface, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HostBlocks host(host::BlockLayout{}, 0);
        PlaceLayout(host.blocks, host::BlockLayout{});
        const HGLOBAL small = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, c.bytes);
        ASSERT_NE(small, HGLOBAL{});
        const uint32_t instanceHandle = c.which == kInstance ? FromHGlobal(small) : host.blocks.instance;
        const uint32_t interfaceHandle = c.which == kInterface ? FromHGlobal(small) : host.blocks.interfaceBlock;
        char text[] = "2";
        EXPECT_EQ(lib().Main(kCallSetup, text, nullptr, nullptr, instanceHandle, interfaceHandle), kStatusLockFailed);
        GlobalFree(small);
    }
}

TEST_F(UnsizedBlocks, PlatformMatrixBlockTooSmallForTheEntriesIsNotWritten) {
    host::BlockLayout layout;
    HostBlocks host(layout, 0);
    PlaceLayout(host.blocks, layout);
    // The eight values alone need 64 + 64 bytes behind their offset.
    const HGLOBAL small = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 80);
    ASSERT_NE(small, HGLOBAL{});
    auto* fields = reinterpret_cast<InterfaceBlock*>(LockedBytes(host.blocks.interfaceBlock));
    const uint32_t matrixHandle = FromHGlobal(small);
    std::memcpy(reinterpret_cast<uint8_t*>(fields) + offsetof(InterfaceBlock, matrixHandle), &matrixHandle,
                sizeof matrixHandle);
    MemUnlock(host.blocks.interfaceBlock);

    char text[] = "2";
    ASSERT_EQ(lib().Main(kCallSetup, text, nullptr, nullptr, host.blocks.instance, host.blocks.interfaceBlock),
              kStatusOk);
    recorder.Clear();
    EXPECT_EQ(lib().Main(kCallLayout, nullptr, nullptr, nullptr, host.blocks.instance, host.blocks.interfaceBlock),
              kStatusOk);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_NE(recorder.messages[0].text.find("Jacobi matrix block too small"), std::string::npos);
    const uint8_t* bytes = static_cast<const uint8_t*>(GlobalLock(small));
    ASSERT_NE(bytes, nullptr);
    for (size_t i = 0; i < 80; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i << " was written";
    GlobalUnlock(small);
    lib().Main(kCallRelease, nullptr, nullptr, nullptr, host.blocks.instance, host.blocks.interfaceBlock);
    GlobalFree(small);
}

} // namespace
} // namespace dvx::test

// One instance's whole life, driven on four handles that a test provides and
// through a UDMMain call that a test may wrap (a floating-point mode, a
// shifted stack), with everything a host can observe of it: statuses, the
// `out` results, the bytes of the four blocks after every call and the
// messages. Two lives that should not differ are compared bit for bit.
#pragma once

#include "component/instance.h"
#include "hostsim/kit/blocks.h"
#include "hostsim/kit/instance.h"
#include "hostsim/kit/recorder.h"
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace dvx::test {

// The four blocks of one instance as handles; their sizes are the layout's,
// whatever GlobalSize says of them.
struct LifeBlocks {
    uint32_t instance = 0;
    uint32_t interfaceBlock = 0;
    uint32_t vector = 0;
    uint32_t matrix = 0;
};

using MainCall = std::function<int32_t(int32_t callType, char* text, double* in, double* out,
                                       uint32_t instanceHandle, uint32_t interfaceHandle)>;

// UDMMain of `library`, as a MainCall.
inline MainCall MainOf(const host::ComponentLibrary& library) {
    return [&library](int32_t callType, char* text, double* in, double* out, uint32_t instanceHandle,
                      uint32_t interfaceHandle) {
        return library.Main(callType, text, in, out, instanceHandle, interfaceHandle);
    };
}

struct LifeTrace {
    std::vector<int32_t> statuses;
    std::vector<uint64_t> outs;               // the bits of `out` after each call
    std::vector<std::vector<uint8_t>> blocks; // all four blocks after each call
    std::vector<std::string> messages;
};

inline uint8_t* LockedBytes(uint32_t handle) {
    auto* bytes = static_cast<uint8_t*>(MemLock(handle));
    if (bytes == nullptr) throw std::runtime_error("a block of the life does not lock");
    return bytes;
}

// Writes the handles and offsets of `layout` into the InterfaceBlock and
// clears the other three blocks.
inline void PlaceLayout(const LifeBlocks& b, const host::BlockLayout& layout) {
    const struct {
        uint32_t handle;
        size_t size;
    } all[] = {{b.instance, layout.instanceSize}, {b.interfaceBlock, layout.interfaceSize},
               {b.vector, layout.vectorSize}, {b.matrix, layout.matrixSize}};
    for (const auto& block : all) {
        std::memset(LockedBytes(block.handle), 0, block.size);
        MemUnlock(block.handle);
    }
    InterfaceBlock fields{};
    fields.vectorHandle = b.vector;
    fields.matrixHandle = b.matrix;
    fields.variablesOffset = layout.variablesOffset;
    fields.rhsOffset = layout.rhsOffset;
    fields.columnsOffset = layout.columnsOffset;
    fields.rowsOffset = layout.rowsOffset;
    fields.valuesOffset = layout.valuesOffset;
    std::memcpy(LockedBytes(b.interfaceBlock), &fields, kInterfaceBlockUsed);
    MemUnlock(b.interfaceBlock);
}

// Set-up with `parameter`, every output lookup, layout, two steps, every
// output value, the call types without work, and release.
inline LifeTrace RunLife(const MainCall& call, const LifeBlocks& b, const host::BlockLayout& layout,
                         const std::string& parameter, host::HostRecorder& recorder) {
    PlaceLayout(b, layout);
    recorder.Clear();
    LifeTrace trace;
    auto snapshot = [&] {
        std::vector<uint8_t> bytes;
        const struct {
            uint32_t handle;
            size_t size;
        } all[] = {{b.instance, layout.instanceSize}, {b.interfaceBlock, layout.interfaceSize},
                   {b.vector, layout.vectorSize}, {b.matrix, layout.matrixSize}};
        for (const auto& block : all) {
            const uint8_t* data = LockedBytes(block.handle);
            bytes.insert(bytes.end(), data, data + block.size);
            MemUnlock(block.handle);
        }
        // The heap address of a name copy and the handles of the further
        // blocks differ from life to life.
        std::memset(bytes.data() + offsetof(InstanceData, kName), 0, 8);
        std::memset(bytes.data() + layout.instanceSize + offsetof(InterfaceBlock, vectorHandle), 0, 4);
        std::memset(bytes.data() + layout.instanceSize + offsetof(InterfaceBlock, matrixHandle), 0, 4);
        trace.blocks.push_back(bytes);
    };
    auto run = [&](int32_t callType, std::string text, double in) {
        double out = -1.0;
        trace.statuses.push_back(call(callType, text.data(), &in, &out, b.instance, b.interfaceBlock));
        uint64_t bits = 0;
        std::memcpy(&bits, &out, sizeof bits);
        trace.outs.push_back(bits);
        snapshot();
    };
    auto setVariables = [&](double omega1, double omega2, double m1) {
        const double values[3] = {omega1, omega2, m1};
        std::memcpy(LockedBytes(b.vector) + layout.variablesOffset, values, sizeof values);
        MemUnlock(b.vector);
    };

    run(kCallSetup, parameter, 0.0);
    for (const char* name : {"M1", "M2", "OMEGA1", "OMEGA2", "K", "NOPE"}) run(kCallOutputLookup, name, 0.0);
    run(kCallLayout, "", 0.0);
    setVariables(10.0, 5.0, 3.0);
    run(kCallStep, "", 0.0);
    setVariables(-1.0, 0.5, 7.0);
    run(kCallStep, "", 0.0);
    for (int index = 0; index <= 6; ++index) run(kCallOutputValue, "", index);
    for (const int32_t nothing : {int32_t{kCallNothing}, 0, 8}) run(nothing, "", 0.0);
    run(kCallRelease, "", 0.0);
    for (const auto& message : recorder.messages)
        trace.messages.push_back(std::to_string(message.severity) + " " + message.text);
    return trace;
}

inline void ExpectSameLife(const LifeTrace& expected, const LifeTrace& actual) {
    EXPECT_EQ(actual.statuses, expected.statuses);
    EXPECT_EQ(actual.outs, expected.outs);
    ASSERT_EQ(actual.blocks.size(), expected.blocks.size());
    for (size_t call = 0; call < expected.blocks.size(); ++call) {
        const auto& want = expected.blocks[call];
        const auto& got = actual.blocks[call];
        ASSERT_EQ(got.size(), want.size());
        const auto diff = std::mismatch(want.begin(), want.end(), got.begin());
        EXPECT_TRUE(diff.first == want.end()) << "after call " << call << " the blocks differ at byte "
                                              << (diff.first - want.begin()) << " of the four";
    }
    EXPECT_EQ(actual.messages, expected.messages);
}

} // namespace dvx::test

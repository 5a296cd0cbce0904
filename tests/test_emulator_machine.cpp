// The emulated i386 CPU on its own, with a few hand-assembled instructions:
// the host's floating-point modes reach the guest as on one real CPU (and
// only the guest), what the guest sets comes back, and a fault or a failing
// host handler ends the call with a message instead of ending the process.
#include "hostsim/kit/emulated/machine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace dvx::host::guest {
namespace {

constexpr uint32_t kData = layout::kHeap; // the guest's scratch data

std::vector<uint8_t> With32(std::vector<uint8_t> code, size_t at, uint32_t value) {
    std::memcpy(code.data() + at, &value, 4);
    return code;
}

template <typename T>
void Put(Machine& m, uint32_t address, T value) {
    std::memcpy(m.Host(address, sizeof value), &value, sizeof value);
}

template <typename T>
T Get(const Machine& m, uint32_t address) {
    T value;
    std::memcpy(&value, m.Host(address, sizeof value), sizeof value);
    return value;
}

// Runs `function` with the host in `modes`, and puts the host back.
uint32_t CallInModes(Machine& m, uint32_t function, const FpControl& modes, FpControl* after = nullptr) {
    SetHostFpControl(modes);
    uint32_t result = 0;
    try {
        result = m.Call(function, {});
    } catch (...) {
        SetHostFpControl(FpControl{});
        throw;
    }
    if (after != nullptr) *after = HostFpControl();
    SetHostFpControl(FpControl{});
    return result;
}

TEST(EmulatedCpu, TheHostsModesAreTheGuestsAndWhatTheGuestSetsComesBack) {
    Machine m;
    // stmxcsr [d]; fnstcw [d+4]; ldmxcsr [d+8]; fldcw [d+12]; ret
    std::vector<uint8_t> code = {0x0f, 0xae, 0x1d, 0, 0, 0, 0, 0xd9, 0x3d, 0, 0, 0, 0,
                                 0x0f, 0xae, 0x15, 0, 0, 0, 0, 0xd9, 0x2d, 0, 0, 0, 0, 0xc3};
    code = With32(With32(With32(With32(code, 3, kData), 9, kData + 4), 16, kData + 8), 22, kData + 12);
    const uint32_t probe = m.AddCode(code);
    const struct {
        FpControl host, guestSets;
    } rows[] = {
        {{0x037f, 0x1f80}, {0x037f, 0x1f80}},
        {{0x027f, 0x9fc0}, {0x037f, 0x1f80}}, // 53 bits, FTZ and DAZ; the guest resets both
        {{0x0f7f, 0x7f80}, {0x007f, 0x3f80}}, // toward zero in both units; the guest rounds down in one
    };
    for (const auto& row : rows) {
        Put(m, kData + 8, row.guestSets.mxcsr);
        Put(m, kData + 12, row.guestSets.x87);
        FpControl after;
        CallInModes(m, probe, row.host, &after);
        EXPECT_EQ(Get<uint32_t>(m, kData) & ~kMxcsrFlags, row.host.mxcsr & ~kMxcsrFlags);
        EXPECT_EQ(Get<uint16_t>(m, kData + 4), row.host.x87);
        EXPECT_EQ(after.x87, row.guestSets.x87);
        EXPECT_EQ(after.mxcsr & ~kMxcsrFlags, row.guestSets.mxcsr & ~kMxcsrFlags);
    }
}

// (movsd xmm0, [d]; op xmm0, [d+8]; movsd [d+16], xmm0; ret) in the host's
// modes: rounding, DAZ and FTZ act on the guest's arithmetic as they would
// on a real CPU's. The FTZ row is what Unicorn 2.0 cannot do: its MXCSR.FZ
// acts on the x87 unit instead, and a denormal result stays.
TEST(EmulatedCpu, RoundingAndDenormalsAreZeroActOnTheGuestsArithmetic) {
    Machine m;
    auto kernel = [&](uint8_t op) {
        std::vector<uint8_t> code = {0xf2, 0x0f, 0x10, 0x05, 0, 0, 0, 0, 0xf2, 0x0f, op,   0x05, 0, 0, 0, 0,
                                     0xf2, 0x0f, 0x11, 0x05, 0, 0, 0, 0, 0xc3};
        return m.AddCode(With32(With32(With32(code, 4, kData), 12, kData + 8), 20, kData + 16));
    };
    const uint32_t divide = kernel(0x5e), multiply = kernel(0x59);
    auto run = [&](uint32_t function, double a, double b, uint32_t mxcsr) {
        Put(m, kData, a);
        Put(m, kData + 8, b);
        CallInModes(m, function, {0x037f, mxcsr});
        return Get<double>(m, kData + 16);
    };
    const double up = run(divide, 1.0, 3.0, 0x5f80), down = run(divide, 1.0, 3.0, 0x3f80);
    EXPECT_EQ(std::nextafter(down, 1.0), up);
    EXPECT_EQ(run(divide, 1.0, 3.0, 0x1f80), 1.0 / 3.0);
    EXPECT_EQ(run(multiply, 1e-310, 1.0, 0x1f80), 1e-310);
    EXPECT_EQ(run(multiply, 1e-310, 1.0, 0x1fc0), 0.0) << "DAZ reads the denormal input as zero";
    EXPECT_EQ(run(multiply, 1e-310, 1.0, 0x9f80), 1e-310) << "Unicorn 2.0's FZ does not flush SSE results";
}

// The host's DAZ must not reach the emulator's own computation: after the
// guest clears DAZ, a denormal compares unequal to zero (Unicorn's compare
// runs on the host's unit, where the host's DAZ made it equal).
TEST(EmulatedCpu, TheHostsModesDoNotLeakIntoTheEmulatorItself) {
    Machine m;
    // ldmxcsr [d+16]; movsd xmm0, [d]; ucomisd xmm0, [d+8]; setz al; movzx eax, al; ret
    std::vector<uint8_t> code = {0x0f, 0xae, 0x15, 0,    0, 0, 0,    0xf2, 0x0f, 0x10, 0x05, 0,    0,    0,    0,
                                 0x66, 0x0f, 0x2e, 0x05, 0, 0, 0,    0,    0x0f, 0x94, 0xc0, 0x0f, 0xb6, 0xc0, 0xc3};
    const uint32_t isZero = m.AddCode(With32(With32(With32(code, 3, kData + 16), 11, kData), 19, kData + 8));
    Put(m, kData, 1e-309);
    Put(m, kData + 8, 0.0);
    Put(m, kData + 16, uint32_t{0x1f80});
    for (const uint32_t host : {0x1f80u, 0x1fc0u, 0x9fc0u}) EXPECT_EQ(CallInModes(m, isZero, {0x037f, host}), 0u) << host;
}

TEST(EmulatedCpu, FaultsAndFailingHandlersEndTheCallWithAMessage) {
    Machine m;
    const uint32_t failing = m.AddTrap(0, []() -> uint32_t { throw GuestFault("the handler gave up"); });
    const uint32_t reentering = m.AddTrap(0, [&m]() -> uint32_t { return m.Call(layout::kCallExit, {}); });
    const struct {
        std::vector<uint8_t> code;
        const char* message;
    } rows[] = {
        {{0xa1, 0x00, 0x00, 0x00, 0x00, 0xc3}, "a read of unmapped memory at 0x00000000"},  // mov eax, [0]
        {{0xa3, 0x00, 0x00, 0x00, 0x00, 0xc3}, "a write to protected memory at 0x00011000"}, // mov [system], eax
        {{0xe8, 0, 0, 0, 0, 0xc3}, "a jump to address 0 (a call through a null function pointer)"}, // call 0
        {{0xe8, 0, 0, 0, 0, 0xc3}, "a fetch from unmapped memory at 0x00000010"},            // call 0x10
        {{0x0f, 0x0b}, "an invalid instruction"},                                           // ud2
    };
    m.Protect(layout::kSystem, layout::kPage, kProtRead);
    for (const auto& row : rows) {
        std::vector<uint8_t> code = row.code;
        if (code[0] == 0xa3) code = With32(code, 1, layout::kSystem);
        const uint32_t at = m.AddCode(code);
        if (code[0] == 0xe8) code = With32(code, 1, (std::string(row.message).find("0x00000010") != std::string::npos ? 0x10u : 0u) - (at + 5));
        std::memcpy(m.Host(at, code.size()), code.data(), code.size());
        try {
            m.Call(at, {});
            ADD_FAILURE() << row.message << ": no fault";
        } catch (const GuestFault& e) {
            EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
        }
    }
    for (const auto& [trap, message] : {std::pair{failing, "the handler gave up"},
                                        std::pair{reentering, "from inside one of its own calls"}}) {
        const uint32_t at = m.AddCode(With32({0xb8, 0, 0, 0, 0, 0xff, 0xd0, 0xc3}, 1, trap)); // mov eax, trap; call eax
        try {
            m.Call(at, {});
            ADD_FAILURE() << message << ": no fault";
        } catch (const GuestFault& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    // The machine goes on after a fault.
    EXPECT_EQ(m.Call(m.AddCode(std::vector<uint8_t>{0xb8, 7, 0, 0, 0, 0xc3}), {}), 7u);
}

TEST(EmulatedCpu, ArgumentsArriveOnTheStackAndStdcallPopsTheirs) {
    Machine m;
    std::vector<uint32_t> seen;
    const uint32_t cdecl = m.AddTrap(0, [&] {
        seen = {m.Argument(0), m.Argument(1)};
        return seen[0] + seen[1];
    });
    const uint32_t stdcall = m.AddTrap(8, [&] { return m.Argument(0) * m.Argument(1); });
    // push 3; push 4; call stdcall; push eax; push 5; call cdecl; add esp, 8; ret
    std::vector<uint8_t> code = {0x6a, 0x03, 0x6a, 0x04, 0xb9, 0, 0, 0, 0, 0xff, 0xd1, 0x50,
                                 0x6a, 0x05, 0xb9, 0, 0, 0, 0, 0xff, 0xd1, 0x83, 0xc4, 0x08, 0xc3};
    code = With32(With32(code, 5, stdcall), 15, cdecl);
    EXPECT_EQ(m.Call(m.AddCode(code), {}), 17u);
    EXPECT_EQ(seen, (std::vector<uint32_t>{5, 12}));
    const uint32_t sum = m.AddCode(std::vector<uint8_t>{0x8b, 0x44, 0x24, 0x04, 0x03, 0x44, 0x24, 0x08, 0xc3});
    const uint32_t arguments[] = {40, 2};
    EXPECT_EQ(m.Call(sum, arguments), 42u);
}

} // namespace
} // namespace dvx::host::guest

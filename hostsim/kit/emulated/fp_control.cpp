// The host thread's floating-point control state in the form an i386 CPU
// keeps it. On an x86 host that is the real x87 control word and MXCSR; on
// others their rounding mode and flush-to-zero, in the bits that mean the
// same (an AArch64 FPCR's FZ flushes inputs and results alike, as DAZ and FZ
// together do), with the x87 unit's other bits as a program starts.
#include "hostsim/kit/emulated/machine.h"

#include <cfenv>
#include <cstdint>

namespace dvx::host::guest {

namespace {

// x87 RC (bits 10-11) and MXCSR RC (bits 13-14): 0 nearest, 1 down, 2 up, 3 toward zero.
[[maybe_unused]] constexpr uint32_t kMxcsrDaz = 1u << 6, kMxcsrFz = 1u << 15;
[[maybe_unused]] constexpr uint16_t kX87Fresh = 0x037f;
[[maybe_unused]] constexpr uint32_t kMxcsrFresh = 0x1f80;

[[maybe_unused]] uint32_t RoundingOf(int mode) {
    switch (mode) {
    case FE_DOWNWARD: return 1;
    case FE_UPWARD: return 2;
    case FE_TOWARDZERO: return 3;
    default: return 0;
    }
}

[[maybe_unused]] int ModeOf(uint32_t rounding) {
    switch (rounding & 3u) {
    case 1: return FE_DOWNWARD;
    case 2: return FE_UPWARD;
    case 3: return FE_TOWARDZERO;
    default: return FE_TONEAREST;
    }
}

} // namespace

#if defined(__x86_64__) || defined(__i386__)

FpControl HostFpControl() {
    FpControl control;
    __asm__ volatile("fnstcw %0" : "=m"(control.x87) : : "memory");
    __asm__ volatile("stmxcsr %0" : "=m"(control.mxcsr) : : "memory");
    return control;
}

void SetHostFpControl(const FpControl& control) {
    __asm__ volatile("fldcw %0" : : "m"(control.x87) : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(control.mxcsr) : "memory");
}

#elif defined(__aarch64__)

namespace {
constexpr uint64_t kFpcrFz = 1ull << 24;
constexpr unsigned kFpcrRoundingShift = 22;
// AArch64 RMode: 0 nearest, 1 toward +inf, 2 toward -inf, 3 toward zero.
constexpr uint32_t kToX86[] = {0, 2, 1, 3};
constexpr uint64_t kToArm[] = {0, 2, 1, 3};
} // namespace

FpControl HostFpControl() {
    uint64_t fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    const uint32_t rounding = kToX86[(fpcr >> kFpcrRoundingShift) & 3u];
    FpControl control;
    control.x87 = static_cast<uint16_t>((kX87Fresh & ~0x0c00u) | (rounding << 10));
    control.mxcsr = (kMxcsrFresh & ~0x6000u) | (rounding << 13) | ((fpcr & kFpcrFz) != 0 ? kMxcsrDaz | kMxcsrFz : 0);
    return control;
}

void SetHostFpControl(const FpControl& control) {
    uint64_t fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr &= ~((3ull << kFpcrRoundingShift) | kFpcrFz);
    fpcr |= kToArm[(control.mxcsr >> 13) & 3u] << kFpcrRoundingShift;
    if ((control.mxcsr & (kMxcsrDaz | kMxcsrFz)) != 0) fpcr |= kFpcrFz;
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
}

#else

FpControl HostFpControl() {
    const uint32_t rounding = RoundingOf(std::fegetround());
    FpControl control;
    control.x87 = static_cast<uint16_t>((kX87Fresh & ~0x0c00u) | (rounding << 10));
    control.mxcsr = (kMxcsrFresh & ~0x6000u) | (rounding << 13);
    return control;
}

void SetHostFpControl(const FpControl& control) { std::fesetround(ModeOf(control.mxcsr >> 13)); }

#endif

} // namespace dvx::host::guest

// The floating-point modes of the host's thread, taken over for a stretch of
// the component's own arithmetic and given back unchanged.
//
// Hosts built with other compilers run with other modes: x87 precision of 53
// or 24 bits, flush-to-zero (FTZ) or denormals-are-zero (DAZ) in MXCSR, other
// rounding. Under FTZ or DAZ the parser's 1e-308 * 0.1 and the test for a
// factor of zero turn the denormal '1e-309' into K = 1. Set-up therefore runs
// the parse in the modes a freshly started program has. The step does not:
// it is called for every instance at every step and computes in the host's
// modes, as the host's own code does.
#pragma once

#include <stdint.h>

#if !defined(__i386__) && !defined(__x86_64__)
#error "the component's floating-point modes are those of x86 (x87 and SSE)"
#endif

typedef struct FpModes {
    uint32_t mxcsr;         // the whole register, control bits and status flags
    uint32_t x87Env[7];     // the x87 environment: control, status and tag words
} FpModes;

// All exceptions masked, round to nearest, no FTZ or DAZ; for the x87 64-bit
// precision. The parser's results are the same in any x87 precision (it
// moves doubles through the x87 stack only on returns, and loads and stores
// are exact); masking keeps a host's unmasked exceptions from trapping on a
// denormal there.
enum : uint32_t { kOwnMxcsr = 0x1F80 };
enum : uint16_t { kOwnX87Control = 0x037F };

// Saves the host's modes and sets the component's own. The asm statements are
// volatile with a memory clobber, and the arithmetic they surround lies in
// functions of other units, so no operation moves across them.
inline FpModes TakeOwnFpModes(void) {
    FpModes host;
    const uint32_t mxcsr = kOwnMxcsr;
    const uint16_t x87 = kOwnX87Control;
    __asm__ volatile("stmxcsr %0" : "=m"(host.mxcsr) : : "memory");
    __asm__ volatile("fnstenv %0" : "=m"(host.x87Env) : : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr) : "memory");
    __asm__ volatile("fldcw %0" : : "m"(x87) : "memory");
    return host;
}

// Restores what TakeOwnFpModes saved, the status flags of both units
// included: the host sees neither the component's modes nor flags raised
// under them, and an exception the host has unmasked cannot fire later on a
// flag of the parse's. The x87 registers are declared clobbered: the restored
// tag word marks them empty, so no value may wait there across the call
// (on i386 a double result arrives on the x87 stack).
inline void GiveBackFpModes(const FpModes* host) {
    __asm__ volatile("ldmxcsr %0" : : "m"(host->mxcsr) : "memory");
    __asm__ volatile("fldenv %0"
                     :
                     : "m"(host->x87Env)
                     : "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)");
}

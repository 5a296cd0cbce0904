/* Known input for check-stack-alignment.sh, a DLL built for it alone and
 * loaded by nobody: compiled as if the stack were 16-byte aligned on entry,
 * each function keeps a vector across a call in a stack slot with an
 * aligned access. The first does not realign and must be reported; the
 * second realigns its stack and must not be. */
#include <emmintrin.h>

/* Opaque to the optimiser, so that the vector must wait in memory. */
__attribute__((noipa)) void DvxProbeOpaque(void) { __asm__ volatile("" ::: "memory"); }

/* The store to the 16-byte-aligned slot is written out: the compiler's own
 * spills happen to be unaligned moves, which would prove nothing. */
__declspec(dllexport) double DvxProbeAlignedSpill(const double* values) {
    __attribute__((aligned(16))) double kept[2];
    __asm__ volatile("movapd %1, %0" : "=m"(kept) : "x"(_mm_loadu_pd(values)));
    DvxProbeOpaque();
    return kept[0] + values[2];
}

__declspec(dllexport) __attribute__((force_align_arg_pointer)) double DvxProbeRealignedSpill(const double* values) {
    __attribute__((aligned(16))) double kept[2];
    __asm__ volatile("movapd %1, %0" : "=m"(kept) : "x"(_mm_loadu_pd(values)));
    DvxProbeOpaque();
    return kept[0] + values[2];
}

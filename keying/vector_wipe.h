// Clearing the SSE registers after work on key material: the chains' values
// must not outlive the derivation in registers the compiler used. The
// clobbers make the compiler save and restore the registers the calling
// convention asks it to keep (XMM6 to XMM15 on Windows) around the clearing.
#pragma once

#include <stdint.h>

namespace pelmar_keying_wipe {

// Zeroes the stack just below the caller's frame, where the function it
// called last kept its locals and spilled registers (the chains' words, the
// keyed states in every lane): its own frame is that region, and the
// writes are volatile, so the compiler cannot drop them. The work it
// follows must run in a function of its own, not inlined into the caller.
// Not instrumented by the address sanitizer, whose redzones around the area
// would leave the bytes just below the caller's frame unwritten.
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's frames are several times larger (a redzone around every
// local): the SHA extensions' iterations take 14 KiB there.
constexpr uint32_t DERIVATION_STACK_BYTES = 32768;
#else
constexpr uint32_t DERIVATION_STACK_BYTES = 8192;
#endif
[[gnu::noinline, gnu::no_sanitize_address]] inline void WipeStackBelow() {
    uint8_t area[DERIVATION_STACK_BYTES];
    volatile uint8_t *const at = area;
    for (uint32_t i = 0; i < DERIVATION_STACK_BYTES; ++i) {
        at[i] = 0;
    }
}

[[gnu::always_inline]] inline void ClearVectorRegisters() {
#if defined(__x86_64__)
    __asm__ volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
          "xmm13", "xmm14", "xmm15");
#endif
}

// Every vector register whole (VZEROALL), for where the system saves the
// YMM state: their upper halves too, which the SSE clearing leaves alone.
// Only where the processor has AVX (the AVX2 path's own clearing, and header
// creation's where that path is allowed).
[[gnu::always_inline]] inline void ClearWholeVectorRegisters() {
#if defined(__x86_64__)
    __asm__ volatile("vzeroall"
                     :
                     :
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
                       "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
#endif
}

}  // namespace pelmar_keying_wipe

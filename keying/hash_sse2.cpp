// RIPEMD-160 and SHA-1 iterations on four chains in SSE2's 128-bit lanes.
// SSE2 is part of x86-64, so this file needs no flags beyond the baseline.
#include "keying/hash_lanes.h"

#include <emmintrin.h>

namespace {

using Vec = __m128i;
constexpr int LANES = SSE2_LANES;

[[gnu::always_inline]] inline Vec Add(Vec a, Vec b) { return _mm_add_epi32(a, b); }
[[gnu::always_inline]] inline Vec Xor(Vec a, Vec b) { return _mm_xor_si128(a, b); }
[[gnu::always_inline]] inline Vec And(Vec a, Vec b) { return _mm_and_si128(a, b); }
[[gnu::always_inline]] inline Vec Or(Vec a, Vec b) { return _mm_or_si128(a, b); }
[[gnu::always_inline]] inline Vec Not(Vec a) { return _mm_xor_si128(a, _mm_set1_epi32(-1)); }
[[gnu::always_inline]] inline Vec Set1(uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
template <int S>
[[gnu::always_inline]] inline Vec Rol(Vec a) {
    return _mm_or_si128(_mm_slli_epi32(a, S), _mm_srli_epi32(a, 32 - S));
}
[[gnu::always_inline]] inline Vec RolBy(Vec a, int s) {
    return _mm_or_si128(_mm_sll_epi32(a, _mm_cvtsi32_si128(s)), _mm_srl_epi32(a, _mm_cvtsi32_si128(32 - s)));
}
[[gnu::always_inline]] inline Vec Load(const uint32_t *at) { return _mm_loadu_si128(reinterpret_cast<const Vec *>(at)); }
[[gnu::always_inline]] inline void Store(uint32_t *at, Vec v) { _mm_storeu_si128(reinterpret_cast<Vec *>(at), v); }

#include "keying/lane_algorithms.h"

// The chains' values must not outlive the derivation in the registers. The
// clobbers make the compiler save and restore the registers the calling
// convention asks it to keep (XMM6 to XMM15 on Windows) around this.
[[gnu::always_inline]] inline void ClearVectorRegisters() {
    __asm__ volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
          "xmm13", "xmm14", "xmm15");
}

}  // namespace

void Rmd160IterationsSse2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<RmdCompressDigest>(inner, outer, u, t, count);
    ClearVectorRegisters();
}

void Sha1IterationsSse2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<Sha1CompressDigest>(inner, outer, u, t, count);
    ClearVectorRegisters();
}

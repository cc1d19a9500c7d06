// RIPEMD-160 and SHA-1 iterations on four chains in SSE2's 128-bit lanes.
// SSE2 is part of x86-64, so this file needs no flags beyond the baseline.
#include "keying/hash_lanes.h"
#include "keying/vector_wipe.h"

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

using pelmar_keying_wipe::ClearVectorRegisters;

}  // namespace

void Rmd160IterationsSse2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<RmdCompressDigest>(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    ClearVectorRegisters();
}

void Sha1IterationsSse2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<Sha1CompressDigest>(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    ClearVectorRegisters();
}

// RIPEMD-160 and SHA-1 iterations on eight chains in AVX2's 256-bit lanes.
// Only this file is compiled for AVX2 (keying/CMakeLists.txt), and it is
// only called where the processor has AVX2 and the system saves the YMM
// state (keying/derivation_paths.cpp); the rest of the image keeps to
// baseline x86-64.
#include "keying/hash_lanes.h"
#include "keying/vector_wipe.h"

#include <immintrin.h>

namespace {

using Vec = __m256i;
constexpr int LANES = AVX2_LANES;

[[gnu::always_inline]] inline Vec Add(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
[[gnu::always_inline]] inline Vec Xor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
[[gnu::always_inline]] inline Vec And(Vec a, Vec b) { return _mm256_and_si256(a, b); }
[[gnu::always_inline]] inline Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
[[gnu::always_inline]] inline Vec Not(Vec a) { return _mm256_xor_si256(a, _mm256_set1_epi32(-1)); }
[[gnu::always_inline]] inline Vec Set1(uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
template <int S>
[[gnu::always_inline]] inline Vec Rol(Vec a) {
    return _mm256_or_si256(_mm256_slli_epi32(a, S), _mm256_srli_epi32(a, 32 - S));
}
[[gnu::always_inline]] inline Vec RolBy(Vec a, int s) {
    return _mm256_or_si256(_mm256_sll_epi32(a, _mm_cvtsi32_si128(s)), _mm256_srl_epi32(a, _mm_cvtsi32_si128(32 - s)));
}
[[gnu::always_inline]] inline Vec Load(const uint32_t *at) {
    return _mm256_loadu_si256(reinterpret_cast<const Vec *>(at));
}
[[gnu::always_inline]] inline void Store(uint32_t *at, Vec v) { _mm256_storeu_si256(reinterpret_cast<Vec *>(at), v); }

#include "keying/lane_algorithms.h"

// VZEROALL clears every vector register whole (and leaves the upper halves
// clean, so no SSE code after this pays for a state change).
[[gnu::always_inline]] inline void ClearVectorRegisters() { pelmar_keying_wipe::ClearWholeVectorRegisters(); }

}  // namespace

void Rmd160IterationsAvx2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<RmdCompressDigest>(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    ClearVectorRegisters();
}

void Sha1IterationsAvx2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<Sha1CompressDigest>(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    ClearVectorRegisters();
}

// SHA-1's 80 rounds as the SHA extensions compute them, four at a time, on
// two chains interleaved: the two chains' rounds share nothing, so the
// processor runs one chain's instructions while the other's wait for their
// results. There is no table and no branch on data: the round constants are
// immediates of the instructions, and the one loop counts iterations. Only
// this file is compiled for the SHA extensions, SSSE3 and SSE4.1
// (keying/x86/CMakeLists.txt), and it is only called where the processor
// has them (keying/derivation_paths.cpp).
//
// Register layout, as the instructions expect: a vector "abcd" holds a in
// its highest 32-bit lane and d in its lowest; a vector "e" holds e in its
// highest lane and zeros below; message vectors hold words w, w+1, w+2, w+3
// from the highest lane down, which is a big-endian 16-byte load reversed.
#include <immintrin.h>

#include "keying/vector_wipe.h"
#include "keying/x86/path_kernels.h"

namespace {

// Four rounds (group g of twenty) with the message schedule for the groups
// ahead: sha1msg2 completes the words of group g + 1, the exclusive-or adds
// to those of g + 2 and sha1msg1 starts those of g + 3. e[g % 2] receives
// the rotated e of the next rounds, e[(g + 1) % 2] keeps abcd for it.
template <int G>
[[gnu::always_inline]] inline void Sha1Group(__m128i &abcd, __m128i (&e)[2], __m128i (&w)[4]) {
    if constexpr (G == 0) {
        e[0] = _mm_add_epi32(e[0], w[0]);
    } else {
        e[G % 2] = _mm_sha1nexte_epu32(e[G % 2], w[G % 4]);
    }
    e[(G + 1) % 2] = abcd;
    if constexpr (G >= 3 && G <= 18) {
        w[(G + 1) % 4] = _mm_sha1msg2_epu32(w[(G + 1) % 4], w[G % 4]);
    }
    abcd = _mm_sha1rnds4_epu32(abcd, e[G % 2], G / 5);
    if constexpr (G >= 1 && G <= 16) {
        w[(G + 3) % 4] = _mm_sha1msg1_epu32(w[(G + 3) % 4], w[G % 4]);
    }
    if constexpr (G >= 2 && G <= 17) {
        w[(G + 2) % 4] = _mm_xor_si128(w[(G + 2) % 4], w[G % 4]);
    }
}

template <int G>
[[gnu::always_inline]] inline void Sha1GroupsFrom(__m128i &abcd, __m128i (&e)[2], __m128i (&w)[4]) {
    Sha1Group<G>(abcd, e, w);
    if constexpr (G < 19) {
        Sha1GroupsFrom<G + 1>(abcd, e, w);
    }
}

// The compression of the block w0..w3 into (abcd, e).
[[gnu::always_inline]] inline void Sha1Compress(__m128i &abcd, __m128i &e, __m128i w0, __m128i w1,
                                                                  __m128i w2, __m128i w3) {
    const __m128i abcdIn = abcd;
    const __m128i eIn = e;
    __m128i ee[2] = {e, _mm_setzero_si128()};
    __m128i w[4] = {w0, w1, w2, w3};
    Sha1GroupsFrom<0>(abcd, ee, w);
    e = _mm_sha1nexte_epu32(ee[0], eIn);
    abcd = _mm_add_epi32(abcd, abcdIn);
}

inline __m128i LoadBigEndianWords(const uint8_t *at) {
    const __m128i reversedBytes = _mm_set_epi64x(0x0001020304050607ll, 0x08090A0B0C0D0E0Fll);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)), reversedBytes);
}

inline __m128i LoadChainingAbcd(const uint32_t state[5]) {
    return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1B);
}

inline __m128i LoadChainingE(const uint32_t state[5]) {
    return _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
}

constexpr uint32_t LANES = 2;

// Chain k's five words out of the lane layout, and back.
inline void LoadChain(const uint32_t *words, uint32_t k, __m128i &abcd, __m128i &e) {
    abcd = _mm_set_epi32(static_cast<int>(words[k]), static_cast<int>(words[LANES + k]),
                         static_cast<int>(words[2 * LANES + k]), static_cast<int>(words[3 * LANES + k]));
    e = _mm_set_epi32(static_cast<int>(words[4 * LANES + k]), 0, 0, 0);
}

inline void StoreChain(uint32_t *words, uint32_t k, __m128i abcd, __m128i e) {
    words[k] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 3));
    words[LANES + k] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 2));
    words[2 * LANES + k] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 1));
    words[3 * LANES + k] = static_cast<uint32_t>(_mm_extract_epi32(abcd, 0));
    words[4 * LANES + k] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

// After the 64-byte padded key, a 20-byte message fills one block: the 20
// bytes (words 0 to 4), the 0x80 byte (word 5), zeros, and the message
// length of 84 bytes in bits (672, word 15).
// Not inlined: its frame lies below the kernel's, for the wipe after it.
[[gnu::noinline]] void Sha1ChainIterations(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u,
                                           uint32_t *t, uint32_t count) {
    const __m128i endMark = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
    const __m128i zeros = _mm_setzero_si128();
    const __m128i bitLength = _mm_set_epi32(0, 0, 0, 672);
    const __m128i innerAbcd = LoadChainingAbcd(inner);
    const __m128i innerE = LoadChainingE(inner);
    const __m128i outerAbcd = LoadChainingAbcd(outer);
    const __m128i outerE = LoadChainingE(outer);

    __m128i uAbcd[LANES], uE[LANES], tAbcd[LANES], tE[LANES];
    for (uint32_t k = 0; k < LANES; ++k) {
        LoadChain(u, k, uAbcd[k], uE[k]);
        LoadChain(t, k, tAbcd[k], tE[k]);
    }
    for (uint32_t i = 0; i < count; ++i) {
        __m128i abcd0 = innerAbcd, e0 = innerE, abcd1 = innerAbcd, e1 = innerE;
        Sha1Compress(abcd0, e0, uAbcd[0], _mm_or_si128(uE[0], endMark), zeros, bitLength);
        Sha1Compress(abcd1, e1, uAbcd[1], _mm_or_si128(uE[1], endMark), zeros, bitLength);
        uAbcd[0] = outerAbcd;
        uE[0] = outerE;
        uAbcd[1] = outerAbcd;
        uE[1] = outerE;
        Sha1Compress(uAbcd[0], uE[0], abcd0, _mm_or_si128(e0, endMark), zeros, bitLength);
        Sha1Compress(uAbcd[1], uE[1], abcd1, _mm_or_si128(e1, endMark), zeros, bitLength);
        for (uint32_t k = 0; k < LANES; ++k) {
            tAbcd[k] = _mm_xor_si128(tAbcd[k], uAbcd[k]);
            tE[k] = _mm_xor_si128(tE[k], uE[k]);
        }
    }
    for (uint32_t k = 0; k < LANES; ++k) {
        StoreChain(u, k, uAbcd[k], uE[k]);
        StoreChain(t, k, tAbcd[k], tE[k]);
    }
}

void Sha1Iterations(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    Sha1ChainIterations(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    pelmar_keying_wipe::ClearVectorRegisters();
}

}  // namespace

const PATH_KERNELS SHA_EXTENSIONS_PATH = {LANES, nullptr, Sha1Iterations};

void Sha1CompressShaExtensions(uint32_t state[5], const uint8_t block[64]) {
    __m128i abcd = LoadChainingAbcd(state);
    __m128i e = LoadChainingE(state);
    Sha1Compress(abcd, e, LoadBigEndianWords(block), LoadBigEndianWords(block + 16), LoadBigEndianWords(block + 32),
                 LoadBigEndianWords(block + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

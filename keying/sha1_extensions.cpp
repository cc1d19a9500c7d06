// SHA-1's 80 rounds as the SHA extensions compute them, four at a time.
// There is no table and no branch on data: the round constants are
// immediates of the instructions, and the one loop counts iterations.
//
// Register layout, as the instructions expect: a vector "abcd" holds a in
// its highest 32-bit lane and d in its lowest; a vector "e" holds e in its
// highest lane and zeros below; message vectors hold words w, w+1, w+2, w+3
// from the highest lane down, which is a big-endian 16-byte load reversed.
#include "keying/sha1_extensions.h"
#include "keying/vector_wipe.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#define PELMAR_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

namespace {

// Four rounds (group g of twenty) with the message schedule for the groups
// ahead: sha1msg2 completes the words of group g + 1, the exclusive-or adds
// to those of g + 2 and sha1msg1 starts those of g + 3. e[g % 2] receives
// the rotated e of the next rounds, e[(g + 1) % 2] keeps abcd for it.
template <int G>
[[gnu::always_inline]] PELMAR_SHA_TARGET inline void Sha1Group(__m128i &abcd, __m128i (&e)[2], __m128i (&w)[4]) {
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
[[gnu::always_inline]] PELMAR_SHA_TARGET inline void Sha1GroupsFrom(__m128i &abcd, __m128i (&e)[2], __m128i (&w)[4]) {
    Sha1Group<G>(abcd, e, w);
    if constexpr (G < 19) {
        Sha1GroupsFrom<G + 1>(abcd, e, w);
    }
}

// The compression of the block w0..w3 into (abcd, e).
[[gnu::always_inline]] PELMAR_SHA_TARGET inline void Sha1Compress(__m128i &abcd, __m128i &e, __m128i w0, __m128i w1,
                                                                  __m128i w2, __m128i w3) {
    const __m128i abcdIn = abcd;
    const __m128i eIn = e;
    __m128i ee[2] = {e, _mm_setzero_si128()};
    __m128i w[4] = {w0, w1, w2, w3};
    Sha1GroupsFrom<0>(abcd, ee, w);
    e = _mm_sha1nexte_epu32(ee[0], eIn);
    abcd = _mm_add_epi32(abcd, abcdIn);
}

PELMAR_SHA_TARGET inline __m128i ReversedBytes() {
    return _mm_set_epi64x(0x0001020304050607ll, 0x08090A0B0C0D0E0Fll);
}

PELMAR_SHA_TARGET inline __m128i LoadBigEndianWords(const uint8_t *at) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)), ReversedBytes());
}

PELMAR_SHA_TARGET inline void StoreBigEndianWords(uint8_t *at, __m128i words) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(at), _mm_shuffle_epi8(words, ReversedBytes()));
}

uint32_t LoadBigEndian32(const uint8_t *at) {
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | at[3];
}

void StoreBigEndian32(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

PELMAR_SHA_TARGET inline __m128i LoadChainingAbcd(const uint32_t state[5]) {
    return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1B);
}

PELMAR_SHA_TARGET inline __m128i LoadChainingE(const uint32_t state[5]) {
    return _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
}

using pelmar_keying_wipe::ClearVectorRegisters;

}  // namespace

int32_t Sha1ExtensionsPresent() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return 0;
    }
    const unsigned leaf1Ecx = ecx;
    if ((leaf1Ecx & bit_SSSE3) == 0 || (leaf1Ecx & bit_SSE4_1) == 0) {
        return 0;
    }
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return 0;
    }
    return (ebx & bit_SHA) != 0 ? 1 : 0;
}

PELMAR_SHA_TARGET void Sha1CompressExtensions(uint32_t state[5], const uint8_t block[64]) {
    __m128i abcd = LoadChainingAbcd(state);
    __m128i e = LoadChainingE(state);
    Sha1Compress(abcd, e, LoadBigEndianWords(block), LoadBigEndianWords(block + 16), LoadBigEndianWords(block + 32),
                 LoadBigEndianWords(block + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

PELMAR_SHA_TARGET void Sha1HmacIterationsExtensions(const uint32_t inner[5], const uint32_t outer[5], uint8_t u[20],
                                                    uint8_t t[20], uint32_t count) {
    // After the 64-byte padded key, a 20-byte message fills one block: the
    // 20 bytes (words 0 to 4), the 0x80 byte (word 5), zeros, and the
    // message length of 84 bytes in bits (672, word 15).
    const __m128i endMark = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
    const __m128i zeros = _mm_setzero_si128();
    const __m128i bitLength = _mm_set_epi32(0, 0, 0, 672);
    const __m128i innerAbcd = LoadChainingAbcd(inner);
    const __m128i innerE = LoadChainingE(inner);
    const __m128i outerAbcd = LoadChainingAbcd(outer);
    const __m128i outerE = LoadChainingE(outer);

    __m128i uAbcd = LoadBigEndianWords(u);
    __m128i uE = _mm_set_epi32(static_cast<int>(LoadBigEndian32(u + 16)), 0, 0, 0);
    __m128i tAbcd = LoadBigEndianWords(t);
    __m128i tE = _mm_set_epi32(static_cast<int>(LoadBigEndian32(t + 16)), 0, 0, 0);
    for (uint32_t i = 0; i < count; ++i) {
        __m128i abcd = innerAbcd;
        __m128i e = innerE;
        Sha1Compress(abcd, e, uAbcd, _mm_or_si128(uE, endMark), zeros, bitLength);
        uAbcd = outerAbcd;
        uE = outerE;
        Sha1Compress(uAbcd, uE, abcd, _mm_or_si128(e, endMark), zeros, bitLength);
        tAbcd = _mm_xor_si128(tAbcd, uAbcd);
        tE = _mm_xor_si128(tE, uE);
    }
    StoreBigEndianWords(u, uAbcd);
    StoreBigEndian32(u + 16, static_cast<uint32_t>(_mm_extract_epi32(uE, 3)));
    StoreBigEndianWords(t, tAbcd);
    StoreBigEndian32(t + 16, static_cast<uint32_t>(_mm_extract_epi32(tE, 3)));
    ClearVectorRegisters();
}

// The same on two chains at once, chain k's 20 bytes at u + 20 k and
// t + 20 k: the two chains' rounds share nothing, so the processor runs one
// chain's instructions while the other's wait for their results.
namespace {

// Not inlined: its frame lies below the caller's, for the wipe after it.
[[gnu::noinline]] PELMAR_SHA_TARGET void Extensions2Iterations(const uint32_t inner[5], const uint32_t outer[5],
                                                                uint8_t u[40], uint8_t t[40], uint32_t count) {
    const __m128i endMark = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
    const __m128i zeros = _mm_setzero_si128();
    const __m128i bitLength = _mm_set_epi32(0, 0, 0, 672);
    const __m128i innerAbcd = LoadChainingAbcd(inner);
    const __m128i innerE = LoadChainingE(inner);
    const __m128i outerAbcd = LoadChainingAbcd(outer);
    const __m128i outerE = LoadChainingE(outer);

    __m128i uAbcd[2], uE[2], tAbcd[2], tE[2];
    for (int k = 0; k < 2; ++k) {
        uAbcd[k] = LoadBigEndianWords(u + 20 * k);
        uE[k] = _mm_set_epi32(static_cast<int>(LoadBigEndian32(u + 20 * k + 16)), 0, 0, 0);
        tAbcd[k] = LoadBigEndianWords(t + 20 * k);
        tE[k] = _mm_set_epi32(static_cast<int>(LoadBigEndian32(t + 20 * k + 16)), 0, 0, 0);
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
        for (int k = 0; k < 2; ++k) {
            tAbcd[k] = _mm_xor_si128(tAbcd[k], uAbcd[k]);
            tE[k] = _mm_xor_si128(tE[k], uE[k]);
        }
    }
    for (int k = 0; k < 2; ++k) {
        StoreBigEndianWords(u + 20 * k, uAbcd[k]);
        StoreBigEndian32(u + 20 * k + 16, static_cast<uint32_t>(_mm_extract_epi32(uE[k], 3)));
        StoreBigEndianWords(t + 20 * k, tAbcd[k]);
        StoreBigEndian32(t + 20 * k + 16, static_cast<uint32_t>(_mm_extract_epi32(tE[k], 3)));
    }
}

}  // namespace

PELMAR_SHA_TARGET void Sha1HmacIterationsExtensions2(const uint32_t inner[5], const uint32_t outer[5], uint8_t u[40],
                                                     uint8_t t[40], uint32_t count) {
    Extensions2Iterations(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    ClearVectorRegisters();
}

#else

// No SHA extensions to ask for: the derivation keeps to the descriptor, and
// the two operations below are never reached.
int32_t Sha1ExtensionsPresent() {
    return 0;
}

void Sha1CompressExtensions(uint32_t *, const uint8_t *) {}

void Sha1HmacIterationsExtensions(const uint32_t *, const uint32_t *, uint8_t *, uint8_t *, uint32_t) {}

void Sha1HmacIterationsExtensions2(const uint32_t *, const uint32_t *, uint8_t *, uint8_t *, uint32_t) {}

#endif

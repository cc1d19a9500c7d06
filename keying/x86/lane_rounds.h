// RIPEMD-160 and SHA-1 on several independent chains at once, one chain per
// 32-bit lane of a vector. Included, inside an unnamed namespace, by one file
// per instruction set, which first defines LANES (the chains a vector
// holds) and ClearVectorRegisters. The vectors are the compiler's own vector
// type of LANES 32-bit words, so the one text serves every width: compiled
// for SSE2 it becomes SSE2's instructions, compiled with -mavx2 AVX2's.
// Everything here has internal linkage and is compiled for the including
// file's instruction set only.
//
// An iteration of PBKDF2 after the padded keys hashes a 20-byte digest: one
// block of the digest's five words, the end mark, zeros and the message
// length of 64 + 20 bytes.

typedef uint32_t Vec __attribute__((vector_size(4 * LANES)));

[[gnu::always_inline]] inline Vec Set1(uint32_t v) { return Vec{} + v; }
template <int S>
[[gnu::always_inline]] inline Vec Rol(Vec a) {
    return (a << S) | (a >> (32 - S));
}
// A count known only at run time.
[[gnu::always_inline]] inline Vec RolBy(Vec a, int s) { return (a << s) | (a >> (32 - s)); }
// LANES words of one kind, one per chain.
[[gnu::always_inline]] inline Vec Load(const uint32_t *at) {
    Vec v;
    __builtin_memcpy(&v, at, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void Store(uint32_t *at, Vec v) { __builtin_memcpy(at, &v, sizeof v); }

constexpr uint32_t PBKDF2_ITERATION_BITS = (64 + 20) * 8;

// ---------------------------------------------------------------------------
// RIPEMD-160 (little-endian words)
// ---------------------------------------------------------------------------

constexpr uint8_t RMD_LEFT_WORD[80] = {
    0, 1, 2,  3,  4,  5,  6,  7,  8, 9, 10, 11, 12, 13, 14, 15, 7, 4,  13, 1,  10, 6,  15, 3,  12, 0, 9,
    5, 2, 14, 11, 8,  3,  10, 14, 4, 9, 15, 8,  1,  2,  7,  0,  6, 13, 11, 5,  12, 1,  9,  11, 10, 0, 8,
    12, 4, 13, 3, 7, 15, 14, 5, 6, 2, 4, 0, 5, 9, 7, 12, 2, 10, 14, 1, 3, 8, 11, 6, 15, 13};
constexpr uint8_t RMD_RIGHT_WORD[80] = {
    5,  14, 7,  0, 9, 2,  11, 4,  13, 6,  15, 8,  1,  10, 3,  12, 6,  11, 3,  7, 0,  13, 5, 10, 14, 15, 8,
    12, 4,  9,  1, 2, 15, 5,  1,  3,  7,  14, 6,  9,  11, 8,  12, 2,  10, 0, 4,  13, 8, 6,  4,  1,  3,
    11, 15, 0,  5, 12, 2, 13, 9, 7, 10, 14, 12, 15, 10, 4, 1, 5, 8, 7, 6, 2, 13, 14, 0, 3, 9, 11};
constexpr uint8_t RMD_LEFT_SHIFT[80] = {
    11, 14, 15, 12, 5,  8,  7,  9,  11, 13, 14, 15, 6,  7,  9,  8,  7,  6,  8,  13, 11, 9,  7,  15, 7,  12, 15,
    9,  11, 7,  13, 12, 11, 13, 6,  7,  14, 9,  13, 15, 14, 8,  13, 6,  5,  12, 7,  5,  11, 12, 14, 15, 14,
    15, 9,  8,  9,  14, 5,  6,  8,  6,  5,  12, 9,  15, 5,  11, 6,  8,  13, 12, 5,  12, 13, 14, 11, 8,  5,  6};
constexpr uint8_t RMD_RIGHT_SHIFT[80] = {
    8,  9,  9,  11, 13, 15, 15, 5,  7,  7,  8,  11, 14, 14, 12, 6,  9,  13, 15, 7,  12, 8,  9,  11, 7,  7,  12,
    7,  6,  15, 13, 11, 9,  7,  15, 11, 8,  6,  6,  14, 12, 13, 5,  14, 13, 13, 7,  5,  15, 5,  8,  11, 14,
    14, 6,  14, 6,  9,  12, 9,  12, 5,  15, 8,  8,  5,  12, 9,  12, 5,  14, 6,  8,  13, 6,  5,  15, 13, 11, 11};
constexpr uint32_t RMD_LEFT_K[5] = {0x00000000, 0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xA953FD4E};
constexpr uint32_t RMD_RIGHT_K[5] = {0x50A28BE6, 0x5C4DD124, 0x6D703EF3, 0x7A6D76E9, 0x00000000};

// The five boolean functions; the right line takes them in reverse order.
template <int F>
[[gnu::always_inline]] inline Vec RmdF(Vec x, Vec y, Vec z) {
    if constexpr (F == 0) {
        return x ^ y ^ z;
    } else if constexpr (F == 1) {
        return z ^ (x & (y ^ z));  // (x & y) | (~x & z)
    } else if constexpr (F == 2) {
        return (x | ~y) ^ z;
    } else if constexpr (F == 3) {
        return y ^ (z & (x ^ y));  // (x & z) | (y & ~z)
    } else {
        return x ^ (y | ~z);
    }
}

// Round ROUND (sixteen steps) of both lines side by side, so that each
// step's two halves can overlap. The steps are a loop, not unrolled: the
// native image has room for a few kilobytes of this code, not for eighty
// steps of it per hash and instruction set.
template <int ROUND>
[[gnu::always_inline]] inline void RmdRound(Vec (&left)[5], Vec (&right)[5], const Vec (&x)[16]) {
    const Vec leftK = Set1(RMD_LEFT_K[ROUND]), rightK = Set1(RMD_RIGHT_K[ROUND]);
    for (int j = 16 * ROUND; j < 16 * ROUND + 16; ++j) {
        Vec t = left[0] + RmdF<ROUND>(left[1], left[2], left[3]) + (x[RMD_LEFT_WORD[j]] + leftK);
        t = RolBy(t, RMD_LEFT_SHIFT[j]) + left[4];
        left[0] = left[4];
        left[4] = left[3];
        left[3] = Rol<10>(left[2]);
        left[2] = left[1];
        left[1] = t;
        Vec u = right[0] + RmdF<4 - ROUND>(right[1], right[2], right[3]) + (x[RMD_RIGHT_WORD[j]] + rightK);
        u = RolBy(u, RMD_RIGHT_SHIFT[j]) + right[4];
        right[0] = right[4];
        right[4] = right[3];
        right[3] = Rol<10>(right[2]);
        right[2] = right[1];
        right[1] = u;
    }
}

// h: the chaining values, updated by one block holding the five words m.
[[gnu::noinline]] void RmdCompressDigest(Vec (&h)[5], const Vec (&m)[5]) {
    const Vec zero = Set1(0);
    const Vec x[16] = {m[0], m[1], m[2], m[3], m[4], Set1(0x80), zero, zero,
                       zero, zero, zero, zero, zero, zero, Set1(PBKDF2_ITERATION_BITS), zero};
    Vec left[5] = {h[0], h[1], h[2], h[3], h[4]};
    Vec right[5] = {h[0], h[1], h[2], h[3], h[4]};
    RmdRound<0>(left, right, x);
    RmdRound<1>(left, right, x);
    RmdRound<2>(left, right, x);
    RmdRound<3>(left, right, x);
    RmdRound<4>(left, right, x);
    const Vec t = h[1] + left[2] + right[3];
    h[1] = h[2] + left[3] + right[4];
    h[2] = h[3] + left[4] + right[0];
    h[3] = h[4] + left[0] + right[1];
    h[4] = h[0] + left[1] + right[2];
    h[0] = t;
}

// ---------------------------------------------------------------------------
// SHA-1 (big-endian words, held as numbers)
// ---------------------------------------------------------------------------

constexpr uint32_t SHA1_K[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

// Round ROUND: twenty steps, a loop as RIPEMD-160's are. w holds the last
// sixteen words of the message schedule.
template <int ROUND>
[[gnu::always_inline]] inline void Sha1Round(Vec (&s)[5], Vec (&w)[16]) {
    const Vec k = Set1(SHA1_K[ROUND]);
    for (int i = 20 * ROUND; i < 20 * ROUND + 20; ++i) {
        if (i >= 16) {
            w[i & 15] = Rol<1>(w[(i - 3) & 15] ^ w[(i - 8) & 15] ^ (w[(i - 14) & 15] ^ w[i & 15]));
        }
        Vec f;
        if constexpr (ROUND == 0) {
            f = s[3] ^ (s[1] & (s[2] ^ s[3]));
        } else if constexpr (ROUND == 2) {
            f = (s[1] & s[2]) | (s[3] & (s[1] | s[2]));
        } else {
            f = s[1] ^ s[2] ^ s[3];
        }
        const Vec t = s[4] + Rol<5>(s[0]) + f + (w[i & 15] + k);
        s[4] = s[3];
        s[3] = s[2];
        s[2] = Rol<30>(s[1]);
        s[1] = s[0];
        s[0] = t;
    }
}

[[gnu::noinline]] void Sha1CompressDigest(Vec (&h)[5], const Vec (&m)[5]) {
    const Vec zero = Set1(0);
    Vec w[16] = {m[0], m[1], m[2], m[3], m[4], Set1(0x80000000u), zero, zero,
                 zero, zero, zero, zero, zero, zero, zero, Set1(PBKDF2_ITERATION_BITS)};
    Vec s[5] = {h[0], h[1], h[2], h[3], h[4]};
    Sha1Round<0>(s, w);
    Sha1Round<1>(s, w);
    Sha1Round<2>(s, w);
    Sha1Round<3>(s, w);
    for (int i = 0; i < 5; ++i) {
        h[i] += s[i];
    }
}

// ---------------------------------------------------------------------------
// The iterations
// ---------------------------------------------------------------------------

// count iterations on LANES chains: u (the previous output of each chain)
// becomes HMAC(u) from the two keyed chaining values, and is exclusive-ored
// into t. u and t hold word w of every chain at w * LANES + lane.
// Not inlined: its frame lies below the caller's, for the wipe after it.
template <void (*COMPRESS)(Vec (&)[5], const Vec (&)[5])>
[[gnu::noinline]] void LaneIterations(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t,
                                      uint32_t count) {
    Vec uu[5], tt[5];
    for (int i = 0; i < 5; ++i) {
        uu[i] = Load(u + i * LANES);
        tt[i] = Load(t + i * LANES);
    }
    for (uint32_t iteration = 0; iteration < count; ++iteration) {
        Vec h[5] = {Set1(inner[0]), Set1(inner[1]), Set1(inner[2]), Set1(inner[3]), Set1(inner[4])};
        COMPRESS(h, uu);
        Vec g[5] = {Set1(outer[0]), Set1(outer[1]), Set1(outer[2]), Set1(outer[3]), Set1(outer[4])};
        COMPRESS(g, h);
        for (int i = 0; i < 5; ++i) {
            uu[i] = g[i];
            tt[i] ^= g[i];
        }
    }
    for (int i = 0; i < 5; ++i) {
        Store(u + i * LANES, uu[i]);
        Store(t + i * LANES, tt[i]);
    }
}

// The path's kernel for one hash (keying/x86/path_kernels.h).
template <void (*COMPRESS)(Vec (&)[5], const Vec (&)[5])>
void LaneKernel(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count) {
    LaneIterations<COMPRESS>(inner, outer, u, t, count);
    pelmar_keying_wipe::WipeStackBelow();
    ClearVectorRegisters();
}

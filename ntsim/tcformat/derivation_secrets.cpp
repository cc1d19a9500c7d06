// What deriving a header key leaves in the deriving process, computed from
// the password and the salt the way any PBKDF2-HMAC computes it: libgcrypt
// for the derived bytes, and each hash's compression function written here
// from its published definition, for the chaining values after the padded
// keys (which libgcrypt does not show). Each keyed state is checked against
// libgcrypt's hash of its padded key before it is used, so a slip in this
// file shows as an error, not as secrets that can never be found.
//
// Forms: a derivation keeps its values as machine words, so each value is
// given as the derivation's memory holds it on a little-endian processor:
// a hash's words as numbers (SHA-1's and Whirlpool's read big-endian from
// the bytes, RIPEMD-160's little-endian), one chain's words together, or
// word w of several chains side by side (one chain per 32-bit lane, four
// or eight lanes, lanes beyond the last block holding copies of it).
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "ntsim/tcformat/tcformat.h"

namespace ntsim::tc {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Rol(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

uint32_t BigEndian32(const uint8_t *at) {
    return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | at[3];
}
uint32_t LittleEndian32(const uint8_t *at) {
    return at[0] | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}

// FIPS 180-4, 6.1.2.
void Sha1Compress(uint32_t h[5], const uint8_t block[64]) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = BigEndian32(block + 4 * t);
    for (int t = 16; t < 80; ++t) w[t] = Rol(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; ++t) {
        const uint32_t f = t < 20 ? (b & c) | (~b & d) : t < 40 || t >= 60 ? b ^ c ^ d : (b & c) | (b & d) | (c & d);
        const uint32_t k = t < 20 ? 0x5A827999 : t < 40 ? 0x6ED9EBA1 : t < 60 ? 0x8F1BBCDC : 0xCA62C1D6;
        const uint32_t next = Rol(a, 5) + f + e + k + w[t];
        e = d, d = c, c = Rol(b, 30), b = a, a = next;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

// RIPEMD-160 (Dobbertin, Bosselaers, Preneel), its two lines of 80 steps.
void Rmd160Compress(uint32_t h[5], const uint8_t block[64]) {
    static const uint8_t r[2][80] = {
        {0, 1, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 7, 4,  13, 1,  10, 6,  15, 3,  12, 0, 9,
         5, 2, 14, 11, 8,  3,  10, 14, 4,  9,  15, 8,  1,  2,  7,  0,  6, 13, 11, 5,  12, 1,  9,  11, 10, 0, 8,
         12, 4, 13, 3,  7,  15, 14, 5,  6,  2,  4,  0,  5,  9,  7,  12, 2, 10, 14, 1,  3,  8,  11, 6,  15, 13},
        {5,  14, 7,  0, 9, 2,  11, 4,  13, 6,  15, 8,  1,  10, 3,  12, 6,  11, 3,  7, 0,  13, 5,  10, 14, 15, 8,
         12, 4,  9,  1, 2, 15, 5,  1,  3,  7,  14, 6,  9,  11, 8,  12, 2,  10, 0,  4, 13, 8,  6,  4,  1,  3,  11,
         15, 0,  5,  12, 2, 13, 9,  7,  10, 14, 12, 15, 10, 4,  1,  5,  8,  7,  6,  2, 13, 14, 0,  3,  9,  11}};
    static const uint8_t s[2][80] = {
        {11, 14, 15, 12, 5,  8,  7,  9,  11, 13, 14, 15, 6,  7,  9,  8,  7,  6,  8,  13, 11, 9,  7,  15, 7,  12, 15,
         9,  11, 7,  13, 12, 11, 13, 6,  7,  14, 9,  13, 15, 14, 8,  13, 6,  5,  12, 7,  5,  11, 12, 14, 15, 14, 15,
         9,  8,  9,  14, 5,  6,  8,  6,  5,  12, 9,  15, 5,  11, 6,  8,  13, 12, 5,  12, 13, 14, 11, 8,  5,  6},
        {8,  9,  9,  11, 13, 15, 15, 5,  7,  7,  8,  11, 14, 14, 12, 6,  9,  13, 15, 7,  12, 8,  9,  11, 7,  7,  12,
         7,  6,  15, 13, 11, 9,  7,  15, 11, 8,  6,  6,  14, 12, 13, 5,  14, 13, 13, 7,  5,  15, 5,  8,  11, 14, 14,
         6,  14, 6,  9,  12, 9,  12, 5,  15, 8,  8,  5,  12, 9,  12, 5,  14, 6,  8,  13, 6,  5,  15, 13, 11, 11}};
    static const uint32_t k[2][5] = {{0, 0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xA953FD4E},
                                     {0x50A28BE6, 0x5C4DD124, 0x6D703EF3, 0x7A6D76E9, 0}};
    auto f = [](int j, uint32_t x, uint32_t y, uint32_t z) -> uint32_t {
        switch (j / 16) {
        case 0: return x ^ y ^ z;
        case 1: return (x & y) | (~x & z);
        case 2: return (x | ~y) ^ z;
        case 3: return (x & z) | (y & ~z);
        default: return x ^ (y | ~z);
        }
    };
    uint32_t x[16], line[2][5];
    for (int i = 0; i < 16; ++i) x[i] = LittleEndian32(block + 4 * i);
    for (int l = 0; l < 2; ++l) {
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int j = 0; j < 80; ++j) {
            const uint32_t t = Rol(a + f(l == 0 ? j : 79 - j, b, c, d) + x[r[l][j]] + k[l][j / 16], s[l][j]) + e;
            a = e, e = d, d = Rol(c, 10), c = b, b = t;
        }
        line[l][0] = a, line[l][1] = b, line[l][2] = c, line[l][3] = d, line[l][4] = e;
    }
    const uint32_t t = h[1] + line[0][2] + line[1][3];
    h[1] = h[2] + line[0][3] + line[1][4];
    h[2] = h[3] + line[0][4] + line[1][0];
    h[3] = h[4] + line[0][0] + line[1][1];
    h[4] = h[0] + line[0][1] + line[1][2];
    h[0] = t;
}

// Whirlpool (Barreto, Rijmen; ISO/IEC 10118-3) on its 8 x 8 byte matrix,
// row i being bytes 8i..8i+7 of the chaining value.
using Matrix = std::array<uint8_t, 64>;

uint8_t WhirlpoolS(uint8_t x) {
    static const uint8_t e[16] = {1, 11, 9, 12, 13, 6, 15, 3, 14, 8, 7, 4, 10, 2, 5, 0};
    static const uint8_t r[16] = {7, 12, 11, 13, 14, 4, 9, 15, 6, 3, 8, 10, 2, 5, 1, 0};
    uint8_t inverse[16];
    for (int i = 0; i < 16; ++i) inverse[e[i]] = static_cast<uint8_t>(i);
    const uint8_t high = e[x >> 4], low = inverse[x & 15], mixed = r[high ^ low];
    return static_cast<uint8_t>((e[high ^ mixed] << 4) | inverse[low ^ mixed]);
}

uint8_t TimesInField(uint8_t a, uint8_t b) {  // GF(2^8) mod x^8 + x^4 + x^3 + x^2 + 1
    uint8_t product = 0;
    for (; b; b >>= 1) {
        if (b & 1) product ^= a;
        a = static_cast<uint8_t>((a << 1) ^ (a & 0x80 ? 0x1D : 0));
    }
    return product;
}

// Substitution, cyclic shift of column j down by j, row times cir(1, 1, 4,
// 1, 8, 5, 2, 9), then the key added.
Matrix WhirlpoolRound(const Matrix &in, const Matrix &key) {
    static const uint8_t c[8] = {1, 1, 4, 1, 8, 5, 2, 9};
    Matrix shifted{}, out{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) shifted[8 * ((i + j) % 8) + j] = WhirlpoolS(in[8 * i + j]);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            uint8_t sum = key[8 * i + j];
            for (int m = 0; m < 8; ++m) sum ^= TimesInField(shifted[8 * i + m], c[(j - m + 8) % 8]);
            out[8 * i + j] = sum;
        }
    return out;
}

// The eleven keys after a chaining value: the value itself, then the ten
// round keys.
std::array<Matrix, 11> WhirlpoolSchedule(const Matrix &chaining) {
    std::array<Matrix, 11> keys{chaining};
    for (int r = 1; r <= 10; ++r) {
        Matrix constant{};
        for (int j = 0; j < 8; ++j) constant[j] = WhirlpoolS(static_cast<uint8_t>(8 * (r - 1) + j));
        keys[r] = WhirlpoolRound(keys[r - 1], constant);
    }
    return keys;
}

void WhirlpoolCompress(Matrix &chaining, const uint8_t block[64]) {
    const std::array<Matrix, 11> keys = WhirlpoolSchedule(chaining);
    Matrix state;
    for (int i = 0; i < 64; ++i) state[i] = block[i] ^ keys[0][i];
    for (int r = 1; r <= 10; ++r) state = WhirlpoolRound(state, keys[r]);
    for (int i = 0; i < 64; ++i) chaining[i] ^= state[i] ^ block[i];
}

// Bytes taken as words of `size` bytes read in the hash's order, stored as
// a little-endian processor stores the numbers: reversed within each word
// for a big-endian hash.
Bytes AsWords(const Bytes &bytes, size_t size, bool bigEndian) {
    Bytes out = bytes;
    if (bigEndian)
        for (size_t at = 0; at + size <= out.size(); at += size) std::reverse(out.begin() + at, out.begin() + at + size);
    return out;
}

struct Hash {
    int32_t prf;
    int gcry;
    size_t digest, word;
    bool bigEndian;
};

// The chaining value after one block from the hash's start, as bytes in
// the hash's output order; its check: one more block (the padding of a
// 64-byte message) must give libgcrypt's digest of that block.
std::optional<Bytes> KeyedState(const Hash &hash, const uint8_t block[64]) {
    uint8_t padding[64] = {0x80};
    Bytes state, digest;
    if (hash.prf == kPrfWhirlpool) {
        padding[62] = 0x02;  // 512 bits, in the 256-bit big-endian length
        Matrix h{};
        WhirlpoolCompress(h, block);
        state.assign(h.begin(), h.end());
        WhirlpoolCompress(h, padding);
        digest.assign(h.begin(), h.end());
    } else {
        uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
        const bool sha1 = hash.prf == kPrfSha1;
        padding[sha1 ? 62 : 57] = 0x02;  // 512 bits, 64-bit length big- or little-endian
        auto bytes = [&] {
            Bytes out;
            for (uint32_t w : h)
                for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(sha1 ? w >> (24 - 8 * i) : w >> (8 * i)));
            return out;
        };
        (sha1 ? Sha1Compress : Rmd160Compress)(h, block);
        state = bytes();
        (sha1 ? Sha1Compress : Rmd160Compress)(h, padding);
        digest = bytes();
    }
    Bytes reference(hash.digest);
    gcry_md_hash_buffer(hash.gcry, reference.data(), block, 64);
    if (digest != reference) return std::nullopt;
    return state;
}

// Word w of each lane's chain side by side, for every batch of `lanes`
// blocks of the value (PBKDF2's output blocks of `digest` bytes).
void AddLaneForms(std::vector<DerivationSecret> &out, const std::string &name, const Bytes &value, const Hash &hash,
                  size_t lanes) {
    const size_t blocks = value.size() / hash.digest;
    const Bytes words = AsWords(value, 4, hash.bigEndian);
    for (size_t first = 0; first < blocks; first += lanes) {
        Bytes interleaved;
        for (size_t w = 0; w < hash.digest / 4; ++w)
            for (size_t lane = 0; lane < lanes; ++lane) {
                const size_t block = std::min(first + lane, blocks - 1);
                interleaved.insert(interleaved.end(), words.begin() + hash.digest * block + 4 * w,
                                   words.begin() + hash.digest * block + 4 * w + 4);
            }
        out.push_back({name + " in " + std::to_string(lanes) + " lanes (blocks " + std::to_string(first + 1) + ".." +
                           std::to_string(std::min(first + lanes, blocks)) + ")",
                       interleaved});
    }
}

}  // namespace

std::optional<std::vector<DerivationSecret>> HeaderKeyDerivationSecrets(int32_t prf, std::span<const uint8_t> password,
                                                                       std::span<const uint8_t> salt) {
    static const Hash kHashes[] = {{kPrfRipemd160, GCRY_MD_RMD160, 20, 4, false},
                                   {kPrfSha1, GCRY_MD_SHA1, 20, 4, true},
                                   {kPrfWhirlpool, GCRY_MD_WHIRLPOOL, 64, 8, true}};
    const Hash *hash = nullptr;
    for (const Hash &h : kHashes)
        if (h.prf == prf) hash = &h;
    // A key longer than the block is hashed first, as HMAC does.
    if (!hash || password.empty() || password.size() > 64) return std::nullopt;
    InitGcrypt();
    std::vector<DerivationSecret> out;
    for (const auto &[name, pad] : {std::pair<const char *, uint8_t>{"inner", 0x36}, {"outer", 0x5C}}) {
        uint8_t block[64] = {};
        std::copy(password.begin(), password.end(), block);
        for (uint8_t &b : block) b ^= pad;
        out.push_back({std::string(name) + " padded key", Bytes(block, block + 64)});
        const auto state = KeyedState(*hash, block);
        if (!state) return std::nullopt;
        const std::string keyed = std::string("keyed ") + name + " hash state";
        out.push_back({keyed, AsWords(*state, hash->word, hash->bigEndian)});
        if (prf == kPrfWhirlpool) {
            Matrix chaining;
            std::copy(state->begin(), state->end(), chaining.begin());
            Bytes schedule;
            for (const Matrix &key : WhirlpoolSchedule(chaining)) schedule.insert(schedule.end(), key.begin(), key.end());
            out.push_back({keyed + "'s key schedule", AsWords(schedule, 8, true)});
            continue;
        }
        const Bytes words = AsWords(*state, 4, hash->bigEndian);
        // SHA-1's state as the SHA extensions load it: a in the highest lane.
        if (prf == kPrfSha1) {
            Bytes reversed;
            for (int w = 3; w >= 0; --w) reversed.insert(reversed.end(), words.begin() + 4 * w, words.begin() + 4 * w + 4);
            out.push_back({keyed + " in the SHA extensions' order", reversed});
        }
        for (size_t w = 0; w < 5; ++w) {  // a word in every lane, as the lanes start each chain
            Bytes lanes;
            for (int lane = 0; lane < 4; ++lane) lanes.insert(lanes.end(), words.begin() + 4 * w, words.begin() + 4 * w + 4);
            out.push_back({keyed + " word " + std::to_string(w) + " in every lane", lanes});
        }
    }
    // The derived bytes (the header key, as whole blocks) and each block's
    // last HMAC output: the difference of the derivations at the count and
    // at one less.
    const uint32_t count = DefaultIterations(prf);
    const size_t length = (kKeyAreaSize + hash->digest - 1) / hash->digest * hash->digest;
    const auto key = Pbkdf2(prf, password, salt, count, length), before = Pbkdf2(prf, password, salt, count - 1, length);
    if (!key || !before) return std::nullopt;
    Bytes last(length);
    for (size_t i = 0; i < length; ++i) last[i] = (*key)[i] ^ (*before)[i];
    for (const auto &[name, value] : {std::pair<std::string, const Bytes *>{"header key", &*key}, {"last HMAC output", &last}}) {
        // The header key itself is the driver's secret already; what its
        // last output block holds beyond the key's 128 bytes is not.
        if (value == &*key) {
            if (length > kKeyAreaSize)
                out.push_back({"header key's last output block", Bytes(value->end() - hash->digest, value->end())});
        } else {
            out.push_back({name, *value});
        }
        if (hash->bigEndian) out.push_back({name + " as words", AsWords(*value, hash->word, true)});
        if (prf != kPrfWhirlpool)
            for (size_t lanes : {4, 8}) AddLaneForms(out, name, *value, *hash, lanes);
    }
    return out;
}

}  // namespace ntsim::tc

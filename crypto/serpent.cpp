// Serpent with bitslice S-boxes and little-endian byte conventions.
//
// The S-boxes are evaluated as fixed Boolean word operations: each output
// word is the algebraic normal form (exclusive-or of AND products) of the
// standard S-box's output bit, computed on all 32 bit positions at once. The
// same functions serve the key schedule, so neither rounds nor key schedule
// index memory with key- or data-dependent values, and no branch depends on
// them. Word xi carries bit i of each 4-bit S-box input and output.
#include "crypto/serpent.h"

#include "crypto/ea.h"

static_assert(sizeof(symmetric_key) >= sizeof(SERPENT_KEY),
              "every schedule object of the dependency must hold a Serpent schedule");

namespace {

constexpr uint32_t GOLDEN_RATIO_CONSTANT = 0x9E3779B9u;
constexpr int SERPENT_MAX_KEY_LENGTH = 32;
constexpr int SELF_TEST_ITERATIONS = 1000;

inline uint32_t RotateLeft(uint32_t value, unsigned count) {
    return (value << count) | (value >> (32 - count));
}

inline uint32_t RotateRight(uint32_t value, unsigned count) {
    return (value >> count) | (value << (32 - count));
}

inline uint32_t LoadLittleEndian(const unsigned char *bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

inline void StoreLittleEndian(unsigned char *bytes, uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}

inline SERPENT_KEY *SerpentSchedule(symmetric_key *schedule) {
    return &reinterpret_cast<EA_SCHEDULE *>(schedule)->Serpent;
}

// The standard S-boxes S0..S7 and their inverses in algebraic normal form.

// S0
inline void Sbox0(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t abc = ab & c;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(a ^ ab ^ c ^ ac ^ bc ^ abc ^ d ^ acd ^ bcd);
    x1 = ~(a ^ ac ^ bc ^ abc ^ bd ^ acd ^ bcd);
    x2 = b ^ ab ^ ac ^ abc ^ d ^ bd ^ bcd;
    x3 = a ^ b ^ c ^ d ^ ad;
}

// S1
inline void Sbox1(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(a ^ b ^ bc ^ ad ^ cd ^ acd ^ bcd);
    x1 = ~(a ^ ab ^ c ^ ac ^ d ^ bd ^ abd ^ acd ^ bcd);
    x2 = ~(b ^ ab ^ c ^ d);
    x3 = ~(b ^ ac ^ d ^ ad ^ abd ^ acd ^ bcd);
}

// S2
inline void Sbox2(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t ab = a & b;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    x0 = b ^ c ^ ac ^ d;
    x1 = a ^ b ^ c ^ bc ^ abc ^ ad ^ abd ^ cd ^ acd;
    x2 = a ^ b ^ bc ^ d ^ bd ^ abd ^ cd ^ acd;
    x3 = ~(a ^ b ^ c ^ abc ^ bd);
}

// S3
inline void Sbox3(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = a ^ b ^ bc ^ d ^ ad ^ cd ^ acd ^ bcd;
    x1 = a ^ b ^ ac ^ ad ^ abd ^ cd ^ acd;
    x2 = a ^ ab ^ c ^ abc ^ d ^ bd ^ abd;
    x3 = a ^ b ^ ab ^ c ^ ac ^ abc ^ d ^ cd ^ acd;
}

// S4
inline void Sbox4(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(b ^ ab ^ c ^ d ^ ad ^ bd);
    x1 = a ^ ac ^ bc ^ d ^ bd ^ cd ^ acd ^ bcd;
    x2 = a ^ ab ^ c ^ bc ^ abc ^ bd ^ abd ^ cd ^ bcd;
    x3 = a ^ b ^ c ^ bc ^ ad ^ bd ^ abd;
}

// S5
inline void Sbox5(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bc = b & c;
    const uint32_t bcd = bc & d;
    x0 = ~(b ^ ab ^ c ^ d ^ ad ^ bd);
    x1 = ~(a ^ ab ^ c ^ d ^ bd ^ abd ^ cd);
    x2 = ~(b ^ ac ^ d ^ abd ^ cd ^ acd ^ bcd);
    x3 = ~(a ^ b ^ c ^ abc ^ d ^ ad ^ acd);
}

// S6
inline void Sbox6(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t bcd = bc & d;
    x0 = ~(a ^ b ^ c ^ ac ^ bc ^ abc ^ d ^ abd ^ bcd);
    x1 = ~(b ^ c ^ ad);
    x2 = ~(a ^ ab ^ c ^ bc ^ abc ^ bd ^ abd ^ cd ^ bcd);
    x3 = b ^ ab ^ c ^ ac ^ abc ^ d ^ cd ^ bcd;
}

// S7
inline void Sbox7(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(ab ^ c ^ ad ^ bd ^ cd ^ acd ^ bcd);
    x1 = b ^ ab ^ c ^ ac ^ bc ^ d ^ ad ^ abd ^ acd;
    x2 = a ^ b ^ c ^ abc ^ d ^ ad ^ bd ^ abd ^ bcd;
    x3 = a ^ b ^ c ^ ac ^ abc ^ ad;
}

// S0 inverse
inline void InverseSbox0(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(ab ^ c ^ bc ^ ad ^ bd ^ abd ^ cd ^ acd ^ bcd);
    x1 = a ^ b ^ c ^ ac ^ bd ^ acd ^ bcd;
    x2 = ~(a ^ b ^ ab ^ c ^ d);
    x3 = ~(a ^ bc ^ d ^ abd ^ cd ^ acd ^ bcd);
}

// S1 inverse
inline void InverseSbox1(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t abc = ab & c;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(a ^ b ^ ab ^ abc ^ bd ^ acd ^ bcd);
    x1 = b ^ c ^ abc ^ d ^ ad ^ bd ^ acd ^ bcd;
    x2 = ~(a ^ b ^ ac ^ bc ^ abc ^ d ^ acd);
    x3 = a ^ c ^ d ^ bd;
}

// S2 inverse
inline void InverseSbox2(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t ac = a & c;
    const uint32_t acd = ac & d;
    x0 = a ^ b ^ c ^ bc ^ bd;
    x1 = b ^ ab ^ c ^ ad ^ abd ^ cd ^ acd;
    x2 = ~(a ^ ab ^ c ^ d ^ ad ^ bd ^ abd ^ acd);
    x3 = ~(ab ^ bc ^ abc ^ d ^ acd);
}

// S3 inverse
inline void InverseSbox3(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = a ^ c ^ bc ^ d ^ ad ^ bd ^ bcd;
    x1 = b ^ c ^ bc ^ abc ^ d ^ ad ^ acd ^ bcd;
    x2 = ab ^ ac ^ bc ^ ad ^ bd ^ abd ^ cd ^ acd;
    x3 = a ^ b ^ c ^ ac ^ abc ^ ad ^ abd ^ cd;
}

// S4 inverse
inline void InverseSbox4(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    x0 = ~(a ^ b ^ c ^ d ^ ad ^ abd ^ cd ^ acd);
    x1 = ab ^ c ^ ac ^ d ^ ad ^ acd;
    x2 = ~(a ^ b ^ ab ^ c ^ ac ^ abc ^ d ^ bd ^ abd);
    x3 = b ^ ab ^ c ^ ad ^ abd ^ cd;
}

// S5 inverse
inline void InverseSbox5(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    x0 = a ^ bc ^ d ^ abd;
    x1 = a ^ b ^ ac ^ bc ^ abc ^ d ^ ad ^ abd;
    x2 = a ^ ab ^ c ^ bd ^ abd ^ acd;
    x3 = ~(b ^ ab ^ c ^ abc ^ ad);
}

// S6 inverse
inline void InverseSbox6(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t bcd = bc & d;
    x0 = ~(a ^ ab ^ ac ^ bc ^ abc ^ d ^ abd ^ bcd);
    x1 = ~(b ^ c ^ ac ^ d);
    x2 = ~(a ^ b ^ bc ^ bd ^ abd ^ cd ^ bcd);
    x3 = ~(b ^ ab ^ c ^ bc ^ abc ^ d ^ ad ^ abd ^ cd ^ bcd);
}

// S7 inverse
inline void InverseSbox7(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    const uint32_t a = x0, b = x1, c = x2, d = x3;
    const uint32_t ab = a & b;
    const uint32_t ac = a & c;
    const uint32_t bc = b & c;
    const uint32_t ad = a & d;
    const uint32_t bd = b & d;
    const uint32_t cd = c & d;
    const uint32_t abc = ab & c;
    const uint32_t abd = ab & d;
    const uint32_t acd = ac & d;
    const uint32_t bcd = bc & d;
    x0 = ~(a ^ b ^ bc ^ bd ^ abd ^ cd ^ bcd);
    x1 = ~(a ^ c ^ bc ^ d ^ ad ^ bd ^ acd ^ bcd);
    x2 = b ^ ac ^ d ^ abd ^ cd ^ acd;
    x3 = ab ^ c ^ abc ^ ad ^ bd ^ abd;
}

// The standard linear transformation and its inverse.
inline void LinearTransform(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    x0 = RotateLeft(x0, 13);
    x2 = RotateLeft(x2, 3);
    x1 ^= x0 ^ x2;
    x3 ^= x2 ^ (x0 << 3);
    x1 = RotateLeft(x1, 1);
    x3 = RotateLeft(x3, 7);
    x0 ^= x1 ^ x3;
    x2 ^= x3 ^ (x1 << 7);
    x0 = RotateLeft(x0, 5);
    x2 = RotateLeft(x2, 22);
}

inline void InverseLinearTransform(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3) {
    x2 = RotateRight(x2, 22);
    x0 = RotateRight(x0, 5);
    x2 ^= x3 ^ (x1 << 7);
    x0 ^= x1 ^ x3;
    x3 = RotateRight(x3, 7);
    x1 = RotateRight(x1, 1);
    x3 ^= x2 ^ (x0 << 3);
    x1 ^= x0 ^ x2;
    x2 = RotateRight(x2, 3);
    x0 = RotateRight(x0, 13);
}

inline void MixKey(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3, const uint32_t *roundKey) {
    x0 ^= roundKey[0];
    x1 ^= roundKey[1];
    x2 ^= roundKey[2];
    x3 ^= roundKey[3];
}

// Replaces four prekeys by their S-box image, in place.
template <void (*Sbox)(uint32_t &, uint32_t &, uint32_t &, uint32_t &)>
inline void MakeRoundKey(uint32_t *words) {
    uint32_t x0 = words[0], x1 = words[1], x2 = words[2], x3 = words[3];
    Sbox(x0, x1, x2, x3);
    words[0] = x0;
    words[1] = x1;
    words[2] = x2;
    words[3] = x3;
}

}  // namespace

const SERPENT_TEST_VECTOR SERPENT_TEST_VECTORS[3] = {
    {16,
     {0x2B, 0xD6, 0x45, 0x9F, 0x82, 0xC5, 0xB3, 0x00, 0x95, 0x2C, 0x49, 0x10, 0x48, 0x81, 0xFF, 0x48},
     {0xBE, 0xB6, 0xC0, 0x69, 0x39, 0x38, 0x22, 0xD3, 0xBE, 0x73, 0xFF, 0x30, 0x52, 0x5E, 0xC4, 0x3E},
     {0xEA, 0x02, 0x47, 0x14, 0xAD, 0x5C, 0x4D, 0x84, 0xEA, 0x02, 0x47, 0x14, 0xAD, 0x5C, 0x4D, 0x84}},
    {24,
     {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
      0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17},
     {0x45, 0x28, 0xCA, 0xCC, 0xB9, 0x54, 0xD4, 0x50, 0x65, 0x5E, 0x8C, 0xFD, 0x71, 0xCB, 0xFA, 0xC7},
     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
    {32,
     {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
      0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F},
     {0x3D, 0xA4, 0x6F, 0xFA, 0x6F, 0x4D, 0x6F, 0x30, 0xCD, 0x25, 0x83, 0x33, 0xE5, 0xA6, 0x13, 0x69},
     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
};

int SerpentSetup(const unsigned char *key, int keyLength, int rounds, symmetric_key *schedule) {
    (void)rounds;  // always the standard 32 rounds
    // A longer key has no place in the 256-bit padded key; no caller passes one.
    if (keyLength < 0 || keyLength > SERPENT_MAX_KEY_LENGTH) {
        return CRYPT_INVALID_KEYSIZE;
    }
    uint32_t *words = SerpentSchedule(schedule)->Words;

    // Key bytes read as one little-endian number; a short key is followed by
    // a single 1 bit (the byte at position keyLength becomes 0x01).
    for (int i = 0; i < 8; ++i) {
        words[i] = 0;
    }
    for (int i = 0; i < keyLength; ++i) {
        words[i / 4] |= static_cast<uint32_t>(key[i]) << (8 * (i % 4));
    }
    if (keyLength < SERPENT_MAX_KEY_LENGTH) {
        words[keyLength / 4] |= 1u << (8 * (keyLength % 4));
    }

    // Prekeys w0..w131 in place behind the key words, each from the eight before it.
    for (uint32_t i = 0; i < 132; ++i) {
        uint32_t *w = words + 8 + i;
        w[0] = RotateLeft(w[-8] ^ w[-5] ^ w[-3] ^ w[-1] ^ GOLDEN_RATIO_CONSTANT ^ i, 11);
    }

    // Round key Kj is S((3 - j) mod 8) of prekeys 4j..4j+3.
    uint32_t *roundKey = words + 8;
    for (int pass = 0; pass < 4; ++pass, roundKey += 32) {
        MakeRoundKey<Sbox3>(roundKey + 0);
        MakeRoundKey<Sbox2>(roundKey + 4);
        MakeRoundKey<Sbox1>(roundKey + 8);
        MakeRoundKey<Sbox0>(roundKey + 12);
        MakeRoundKey<Sbox7>(roundKey + 16);
        MakeRoundKey<Sbox6>(roundKey + 20);
        MakeRoundKey<Sbox5>(roundKey + 24);
        MakeRoundKey<Sbox4>(roundKey + 28);
    }
    MakeRoundKey<Sbox3>(roundKey);  // K32
    return CRYPT_OK;
}

int SerpentEncryptBlock(const unsigned char *input, unsigned char *output, symmetric_key *schedule) {
    const uint32_t *roundKey = SerpentSchedule(schedule)->Words + 8;
    uint32_t x0 = LoadLittleEndian(input);
    uint32_t x1 = LoadLittleEndian(input + 4);
    uint32_t x2 = LoadLittleEndian(input + 8);
    uint32_t x3 = LoadLittleEndian(input + 12);

    // Four passes through S0..S7; the very last round mixes K32 instead of
    // the linear transformation.
    for (int pass = 0;; ++pass, roundKey += 32) {
        MixKey(x0, x1, x2, x3, roundKey + 0);
        Sbox0(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 4);
        Sbox1(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 8);
        Sbox2(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 12);
        Sbox3(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 16);
        Sbox4(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 20);
        Sbox5(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 24);
        Sbox6(x0, x1, x2, x3);
        LinearTransform(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 28);
        Sbox7(x0, x1, x2, x3);
        if (pass == 3) {
            break;
        }
        LinearTransform(x0, x1, x2, x3);
    }
    MixKey(x0, x1, x2, x3, roundKey + 32);

    StoreLittleEndian(output, x0);
    StoreLittleEndian(output + 4, x1);
    StoreLittleEndian(output + 8, x2);
    StoreLittleEndian(output + 12, x3);
    return CRYPT_OK;
}

int SerpentDecryptBlock(const unsigned char *input, unsigned char *output, symmetric_key *schedule) {
    const uint32_t *roundKey = SerpentSchedule(schedule)->Words + 8 + 96;  // K24..K31
    uint32_t x0 = LoadLittleEndian(input);
    uint32_t x1 = LoadLittleEndian(input + 4);
    uint32_t x2 = LoadLittleEndian(input + 8);
    uint32_t x3 = LoadLittleEndian(input + 12);

    MixKey(x0, x1, x2, x3, roundKey + 32);
    for (int pass = 3;; --pass, roundKey -= 32) {
        InverseSbox7(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 28);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox6(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 24);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox5(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 20);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox4(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 16);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox3(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 12);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox2(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 8);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox1(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 4);
        InverseLinearTransform(x0, x1, x2, x3);
        InverseSbox0(x0, x1, x2, x3);
        MixKey(x0, x1, x2, x3, roundKey + 0);
        if (pass == 0) {
            break;
        }
        InverseLinearTransform(x0, x1, x2, x3);
    }

    StoreLittleEndian(output, x0);
    StoreLittleEndian(output + 4, x1);
    StoreLittleEndian(output + 8, x2);
    StoreLittleEndian(output + 12, x3);
    return CRYPT_OK;
}

int SerpentCheckVector(const SERPENT_TEST_VECTOR *vector) {
    EA_SCHEDULE schedule;
    zeromem(&schedule, sizeof(schedule));
    int result = SerpentSetup(vector->Key, vector->KeyLength, 0, &schedule.Ltc);
    if (result != CRYPT_OK) {
        return result;
    }
    unsigned char encrypted[16];
    unsigned char decrypted[16];
    SerpentEncryptBlock(vector->Plaintext, encrypted, &schedule.Ltc);
    SerpentDecryptBlock(encrypted, decrypted, &schedule.Ltc);
    result = CRYPT_OK;
    for (int i = 0; i < 16; ++i) {
        if (encrypted[i] != vector->Ciphertext[i] || decrypted[i] != vector->Plaintext[i]) {
            result = CRYPT_FAIL_TESTVECTOR;
        }
    }
    if (result == CRYPT_OK) {
        for (int i = 0; i < 16; ++i) {
            encrypted[i] = 0;
        }
        for (int i = 0; i < SELF_TEST_ITERATIONS; ++i) {
            SerpentEncryptBlock(encrypted, encrypted, &schedule.Ltc);
        }
        for (int i = 0; i < SELF_TEST_ITERATIONS; ++i) {
            SerpentDecryptBlock(encrypted, encrypted, &schedule.Ltc);
        }
        for (int i = 0; i < 16; ++i) {
            if (encrypted[i] != 0) {
                result = CRYPT_FAIL_TESTVECTOR;
            }
        }
    }
    zeromem(&schedule, sizeof(schedule));
    return result;
}

int SerpentSelfTest(void) {
    for (const SERPENT_TEST_VECTOR &vector : SERPENT_TEST_VECTORS) {
        const int result = SerpentCheckVector(&vector);
        if (result != CRYPT_OK) {
            return result;
        }
    }
    return CRYPT_OK;
}

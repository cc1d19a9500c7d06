// Little-endian Blowfish: each 32-bit half is byte-reversed around the
// dependency's standard (big-endian) block operation, so the rounds and the
// key schedule stay the standard ones.
#include "crypto/tcblowfish.h"

namespace {

constexpr int BLOWFISH_BLOCK_LENGTH = 8;

// Reverses bytes 0..3 and, separately, bytes 4..7.
inline void ReverseHalves(unsigned char *block) {
    for (int half = 0; half < BLOWFISH_BLOCK_LENGTH; half += 4) {
        unsigned char *h = block + half;
        unsigned char t = h[0];
        h[0] = h[3];
        h[3] = t;
        t = h[1];
        h[1] = h[2];
        h[2] = t;
    }
}

using BlockOperation = int (*)(const unsigned char *, unsigned char *, symmetric_key *);

inline int WithLittleEndianHalves(BlockOperation operation, const unsigned char *input,
                                  unsigned char *output, symmetric_key *schedule) {
    if (input != output) {
        for (int i = 0; i < BLOWFISH_BLOCK_LENGTH; ++i) {
            output[i] = input[i];
        }
    }
    ReverseHalves(output);
    const int result = operation(output, output, schedule);
    ReverseHalves(output);
    return result;
}

}  // namespace

int LeBlowfishEncrypt(const unsigned char *input, unsigned char *output, symmetric_key *schedule) {
    return WithLittleEndianHalves(blowfish_ecb_encrypt, input, output, schedule);
}

int LeBlowfishDecrypt(const unsigned char *input, unsigned char *output, symmetric_key *schedule) {
    return WithLittleEndianHalves(blowfish_ecb_decrypt, input, output, schedule);
}

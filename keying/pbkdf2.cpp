// PBKDF2 (PKCS #5 v2.0) with HMAC (RFC 2104) written out over the hash
// descriptors, so that no working memory comes from anywhere but the caller:
// the dependency's own HMAC and PBKDF2 allocate.
#include "keying/pbkdf2.h"

#include "keying/derivation_paths.h"
#include "keying/hash_lanes.h"
#include "keying/sha1_extensions.h"
#include "keying/whirlpool_chains.h"

const PRF_TABLE_ENTRY PRF_TABLE[] = {
    {PRF_RIPEMD160, 2000, "RIPEMD-160"},
    {PRF_RIPEMD160, 2000, "RIPEMD160"},
    {PRF_SHA1, 2000, "SHA-1"},
    {PRF_SHA1, 2000, "SHA1"},
    {PRF_WHIRLPOOL, 1000, "Whirlpool"},
    {0, 0, nullptr},
};

// Built by one rule: bytes 0..3 each one of 00, 1E, E0, FE with their
// exclusive-or zero; bytes 4..7 repeat them with 1E -> 0E and E0 -> F0.
// Ascending byte order. The four weak and twelve semi-weak DES keys are
// among them; the rest are the possibly-weak ones.
const uint8_t DES_WEAK_KEYS[64][8] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x1E, 0x1E, 0x00, 0x00, 0x0E, 0x0E},
    {0x00, 0x00, 0xE0, 0xE0, 0x00, 0x00, 0xF0, 0xF0}, {0x00, 0x00, 0xFE, 0xFE, 0x00, 0x00, 0xFE, 0xFE},
    {0x00, 0x1E, 0x00, 0x1E, 0x00, 0x0E, 0x00, 0x0E}, {0x00, 0x1E, 0x1E, 0x00, 0x00, 0x0E, 0x0E, 0x00},
    {0x00, 0x1E, 0xE0, 0xFE, 0x00, 0x0E, 0xF0, 0xFE}, {0x00, 0x1E, 0xFE, 0xE0, 0x00, 0x0E, 0xFE, 0xF0},
    {0x00, 0xE0, 0x00, 0xE0, 0x00, 0xF0, 0x00, 0xF0}, {0x00, 0xE0, 0x1E, 0xFE, 0x00, 0xF0, 0x0E, 0xFE},
    {0x00, 0xE0, 0xE0, 0x00, 0x00, 0xF0, 0xF0, 0x00}, {0x00, 0xE0, 0xFE, 0x1E, 0x00, 0xF0, 0xFE, 0x0E},
    {0x00, 0xFE, 0x00, 0xFE, 0x00, 0xFE, 0x00, 0xFE}, {0x00, 0xFE, 0x1E, 0xE0, 0x00, 0xFE, 0x0E, 0xF0},
    {0x00, 0xFE, 0xE0, 0x1E, 0x00, 0xFE, 0xF0, 0x0E}, {0x00, 0xFE, 0xFE, 0x00, 0x00, 0xFE, 0xFE, 0x00},
    {0x1E, 0x00, 0x00, 0x1E, 0x0E, 0x00, 0x00, 0x0E}, {0x1E, 0x00, 0x1E, 0x00, 0x0E, 0x00, 0x0E, 0x00},
    {0x1E, 0x00, 0xE0, 0xFE, 0x0E, 0x00, 0xF0, 0xFE}, {0x1E, 0x00, 0xFE, 0xE0, 0x0E, 0x00, 0xFE, 0xF0},
    {0x1E, 0x1E, 0x00, 0x00, 0x0E, 0x0E, 0x00, 0x00}, {0x1E, 0x1E, 0x1E, 0x1E, 0x0E, 0x0E, 0x0E, 0x0E},
    {0x1E, 0x1E, 0xE0, 0xE0, 0x0E, 0x0E, 0xF0, 0xF0}, {0x1E, 0x1E, 0xFE, 0xFE, 0x0E, 0x0E, 0xFE, 0xFE},
    {0x1E, 0xE0, 0x00, 0xFE, 0x0E, 0xF0, 0x00, 0xFE}, {0x1E, 0xE0, 0x1E, 0xE0, 0x0E, 0xF0, 0x0E, 0xF0},
    {0x1E, 0xE0, 0xE0, 0x1E, 0x0E, 0xF0, 0xF0, 0x0E}, {0x1E, 0xE0, 0xFE, 0x00, 0x0E, 0xF0, 0xFE, 0x00},
    {0x1E, 0xFE, 0x00, 0xE0, 0x0E, 0xFE, 0x00, 0xF0}, {0x1E, 0xFE, 0x1E, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE},
    {0x1E, 0xFE, 0xE0, 0x00, 0x0E, 0xFE, 0xF0, 0x00}, {0x1E, 0xFE, 0xFE, 0x1E, 0x0E, 0xFE, 0xFE, 0x0E},
    {0xE0, 0x00, 0x00, 0xE0, 0xF0, 0x00, 0x00, 0xF0}, {0xE0, 0x00, 0x1E, 0xFE, 0xF0, 0x00, 0x0E, 0xFE},
    {0xE0, 0x00, 0xE0, 0x00, 0xF0, 0x00, 0xF0, 0x00}, {0xE0, 0x00, 0xFE, 0x1E, 0xF0, 0x00, 0xFE, 0x0E},
    {0xE0, 0x1E, 0x00, 0xFE, 0xF0, 0x0E, 0x00, 0xFE}, {0xE0, 0x1E, 0x1E, 0xE0, 0xF0, 0x0E, 0x0E, 0xF0},
    {0xE0, 0x1E, 0xE0, 0x1E, 0xF0, 0x0E, 0xF0, 0x0E}, {0xE0, 0x1E, 0xFE, 0x00, 0xF0, 0x0E, 0xFE, 0x00},
    {0xE0, 0xE0, 0x00, 0x00, 0xF0, 0xF0, 0x00, 0x00}, {0xE0, 0xE0, 0x1E, 0x1E, 0xF0, 0xF0, 0x0E, 0x0E},
    {0xE0, 0xE0, 0xE0, 0xE0, 0xF0, 0xF0, 0xF0, 0xF0}, {0xE0, 0xE0, 0xFE, 0xFE, 0xF0, 0xF0, 0xFE, 0xFE},
    {0xE0, 0xFE, 0x00, 0x1E, 0xF0, 0xFE, 0x00, 0x0E}, {0xE0, 0xFE, 0x1E, 0x00, 0xF0, 0xFE, 0x0E, 0x00},
    {0xE0, 0xFE, 0xE0, 0xFE, 0xF0, 0xFE, 0xF0, 0xFE}, {0xE0, 0xFE, 0xFE, 0xE0, 0xF0, 0xFE, 0xFE, 0xF0},
    {0xFE, 0x00, 0x00, 0xFE, 0xFE, 0x00, 0x00, 0xFE}, {0xFE, 0x00, 0x1E, 0xE0, 0xFE, 0x00, 0x0E, 0xF0},
    {0xFE, 0x00, 0xE0, 0x1E, 0xFE, 0x00, 0xF0, 0x0E}, {0xFE, 0x00, 0xFE, 0x00, 0xFE, 0x00, 0xFE, 0x00},
    {0xFE, 0x1E, 0x00, 0xE0, 0xFE, 0x0E, 0x00, 0xF0}, {0xFE, 0x1E, 0x1E, 0xFE, 0xFE, 0x0E, 0x0E, 0xFE},
    {0xFE, 0x1E, 0xE0, 0x00, 0xFE, 0x0E, 0xF0, 0x00}, {0xFE, 0x1E, 0xFE, 0x1E, 0xFE, 0x0E, 0xFE, 0x0E},
    {0xFE, 0xE0, 0x00, 0x1E, 0xFE, 0xF0, 0x00, 0x0E}, {0xFE, 0xE0, 0x1E, 0x00, 0xFE, 0xF0, 0x0E, 0x00},
    {0xFE, 0xE0, 0xE0, 0xFE, 0xFE, 0xF0, 0xF0, 0xFE}, {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF0, 0xFE, 0xF0},
    {0xFE, 0xFE, 0x00, 0x00, 0xFE, 0xFE, 0x00, 0x00}, {0xFE, 0xFE, 0x1E, 0x1E, 0xFE, 0xFE, 0x0E, 0x0E},
    {0xFE, 0xFE, 0xE0, 0xE0, 0xFE, 0xFE, 0xF0, 0xF0}, {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
};

namespace {

constexpr int32_t EA_TRIPLE_DES = 5;

// The hash and the default count belong to the derivations, not to the
// table (which only answers "is this id known").
int32_t SelectPrf(int32_t prf, const struct ltc_hash_descriptor **hash, uint32_t *defaultIterations) {
    switch (prf) {
    case PRF_RIPEMD160:
        *hash = &rmd160_desc;
        *defaultIterations = 2000;
        return 1;
    case PRF_SHA1:
        *hash = &sha1_desc;
        *defaultIterations = 2000;
        return 1;
    case PRF_WHIRLPOOL:
        *hash = &whirlpool_desc;
        *defaultIterations = 1000;
        return 1;
    default:
        return 0;
    }
}

// Equal once the DES parity bit (bit 0 of each byte) is ignored.
int32_t SameDesKey(const uint8_t *a, const uint8_t *b) {
    for (uint32_t i = 0; i < 8; ++i) {
        if (((a[i] ^ b[i]) & 0xFE) != 0) {
            return 0;
        }
    }
    return 1;
}

int32_t IsDesWeakKey(const uint8_t *key) {
    for (uint32_t entry = 0; entry < 64; ++entry) {
        if (SameDesKey(key, DES_WEAK_KEYS[entry])) {
            return 1;
        }
    }
    return 0;
}

// A descriptor whose digest or block would not fit our fixed blocks cannot
// be served without overrunning the caller's scratch.
int32_t FitsScratch(const struct ltc_hash_descriptor *hash) {
    return hash->hashsize != 0 && hash->blocksize != 0 && hash->hashsize <= HMAC_MAX_BLOCK &&
           hash->blocksize <= HMAC_MAX_BLOCK;
}

// The member of the hash-state union a hash works in. A keyed state is
// restored by copying that member alone; a hash we do not know gets the
// whole union.
enum class StateMember { Sha1, Rmd160, Whirlpool, Whole };

StateMember MemberOf(const struct ltc_hash_descriptor *hash) {
    if (hash->init == sha1_init) {
        return StateMember::Sha1;
    }
    if (hash->init == rmd160_init) {
        return StateMember::Rmd160;
    }
    if (hash->init == whirlpool_init) {
        return StateMember::Whirlpool;
    }
    return StateMember::Whole;
}

void RestoreState(hash_state *to, const hash_state *from, StateMember member) {
    switch (member) {
    case StateMember::Sha1:
        to->sha1 = from->sha1;
        return;
    case StateMember::Rmd160:
        to->rmd160 = from->rmd160;
        return;
    case StateMember::Whirlpool:
        to->whirlpool = from->whirlpool;
        return;
    case StateMember::Whole:
        *to = *from;
        return;
    }
}

// The inner and the outer padded key, each absorbed into its saved state.
int32_t AbsorbPaddedKeys(PBKDF2_SCRATCH *scratch, const struct ltc_hash_descriptor *hash, const uint8_t *password,
                         uint32_t passwordLength) {
    HMAC_SCRATCH *hmac = &scratch->Hmac;
    int32_t err = HmacInit(hmac, hash, password, passwordLength);
    if (err != CRYPT_OK) {
        return err;
    }
    scratch->InnerKeyed = hmac->Hash;
    const uint32_t block = static_cast<uint32_t>(hash->blocksize);
    for (uint32_t i = 0; i < block; ++i) {
        hmac->PadBlock[i] = static_cast<uint8_t>(hmac->KeyBlock[i] ^ 0x5C);
    }
    if ((err = hash->init(&scratch->OuterKeyed)) != CRYPT_OK) {
        return err;
    }
    return hash->process(&scratch->OuterKeyed, hmac->PadBlock, block);
}

// HMAC of first then second (either may be empty) from the saved keyed
// states, into the digest-size bytes at out. out may be first: it is read
// before it is written.
int32_t KeyedHmac(PBKDF2_SCRATCH *scratch, StateMember member, const uint8_t *first, uint32_t firstLength,
                  const uint8_t *second, uint32_t secondLength, uint8_t *out) {
    HMAC_SCRATCH *hmac = &scratch->Hmac;
    const struct ltc_hash_descriptor *hash = hmac->Descriptor;
    RestoreState(&hmac->Hash, &scratch->InnerKeyed, member);
    int32_t err = HmacProcess(hmac, first, firstLength);
    if (err != CRYPT_OK) {
        return err;
    }
    if ((err = HmacProcess(hmac, second, secondLength)) != CRYPT_OK) {
        return err;
    }
    if ((err = hash->done(&hmac->Hash, hmac->InnerDigest)) != CRYPT_OK) {
        return err;
    }
    RestoreState(&hmac->Hash, &scratch->OuterKeyed, member);
    if ((err = hash->process(&hmac->Hash, hmac->InnerDigest, static_cast<uint32_t>(hash->hashsize))) != CRYPT_OK) {
        return err;
    }
    return hash->done(&hmac->Hash, out);
}

// How a derivation runs its iterations after the first HMAC of each block.
enum class IterationPath { Descriptor, ShaExtensions, Sse2Lanes, Avx2Lanes, WhirlpoolChains };

// The iterations may bypass the descriptor only when it is LibTomCrypt's own
// SHA-1 or RIPEMD-160 through and through; any other descriptor, even one
// that starts from such a state, is served through its operations. Of the
// paths the application allowed, the fastest for the hash is taken.
IterationPath PathFor(const struct ltc_hash_descriptor *hash, StateMember member) {
    const uint32_t paths = DerivationPathsInUse();
    const int32_t sha1 = member == StateMember::Sha1 && hash->process == sha1_process && hash->done == sha1_done;
    const int32_t rmd160 =
        member == StateMember::Rmd160 && hash->process == rmd160_process && hash->done == rmd160_done;
    const int32_t whirlpool =
        member == StateMember::Whirlpool && hash->process == whirlpool_process && hash->done == whirlpool_done;
    // Whirlpool's own compression is plain x86-64 code: it goes with the
    // baseline every x86-64 processor reports, SSE2.
    if (whirlpool && (paths & DERIVATION_SSE2) != 0) {
        return IterationPath::WhirlpoolChains;
    }
    // Measured: eight SHA-1 chains in AVX2's lanes outrun two interleaved on
    // the SHA extensions, which outrun four in SSE2's lanes.
    if ((sha1 || rmd160) && (paths & DERIVATION_AVX2) != 0) {
        return IterationPath::Avx2Lanes;
    }
    if (sha1 && (paths & DERIVATION_SHA_EXTENSIONS) != 0) {
        return IterationPath::ShaExtensions;
    }
    if ((sha1 || rmd160) && (paths & DERIVATION_SSE2) != 0) {
        return IterationPath::Sse2Lanes;
    }
    return IterationPath::Descriptor;
}

uint32_t LanesOf(IterationPath path) {
    switch (path) {
    case IterationPath::Avx2Lanes:
        return AVX2_LANES;
    case IterationPath::Sse2Lanes:
        return SSE2_LANES;
    case IterationPath::ShaExtensions:
        return 2;
    case IterationPath::WhirlpoolChains:
        return WHIRLPOOL_CHAINS;
    case IterationPath::Descriptor:
        break;
    }
    return 1;
}

uint32_t LoadWord(const uint8_t *at, StateMember member) {
    if (member == StateMember::Sha1) {
        return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
               (static_cast<uint32_t>(at[2]) << 8) | at[3];
    }
    return at[0] | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

void StoreWord(uint8_t *at, uint32_t word, StateMember member) {
    for (uint32_t i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(member == StateMember::Sha1 ? word >> (24 - 8 * i) : word >> (8 * i));
    }
}

// HMAC(salt || INT(blockNumber)) into scratch->U: the first iteration of an
// output block.
int32_t FirstHmac(PBKDF2_SCRATCH *scratch, StateMember member, const uint8_t *salt, uint32_t saltLength,
                  uint32_t blockNumber) {
    uint8_t *number = scratch->T;
    number[0] = static_cast<uint8_t>(blockNumber >> 24);
    number[1] = static_cast<uint8_t>(blockNumber >> 16);
    number[2] = static_cast<uint8_t>(blockNumber >> 8);
    number[3] = static_cast<uint8_t>(blockNumber);
    return KeyedHmac(scratch, member, salt, saltLength, number, 4, scratch->U);
}

// The iterations after the first of `blocks` output blocks (at most the
// path's lanes) from blockNumber on, their results into out (at most left
// bytes). Lanes beyond the blocks run copies of the last block and are
// dropped.
int32_t RunLanes(PBKDF2_SCRATCH *scratch, IterationPath path, StateMember member, const uint8_t *salt,
                 uint32_t saltLength, uint32_t iterations, uint32_t blockNumber, uint32_t blocks, uint8_t *out,
                 uint32_t left) {
    const uint32_t lanes = LanesOf(path);
    uint8_t *laneBytesU = reinterpret_cast<uint8_t *>(scratch->LaneU);
    uint8_t *laneBytesT = reinterpret_cast<uint8_t *>(scratch->LaneT);
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        if (lane < blocks) {
            const int32_t err = FirstHmac(scratch, member, salt, saltLength, blockNumber + lane);
            if (err != CRYPT_OK) {
                return err;
            }
        }
        for (uint32_t w = 0; w < 5; ++w) {
            if (path == IterationPath::ShaExtensions) {
                for (uint32_t i = 0; i < 4; ++i) {
                    laneBytesU[20 * lane + 4 * w + i] = scratch->U[4 * w + i];
                    laneBytesT[20 * lane + 4 * w + i] = scratch->U[4 * w + i];
                }
            } else {
                scratch->LaneU[w * lanes + lane] = LoadWord(scratch->U + 4 * w, member);
                scratch->LaneT[w * lanes + lane] = scratch->LaneU[w * lanes + lane];
            }
        }
    }
    // Counted from 1 so that a count of 0xFFFFFFFF still ends; 0 and 1 both
    // leave U1 alone.
    const uint32_t count = iterations > 1 ? iterations - 1 : 0;
    const uint32_t *inner = member == StateMember::Sha1 ? scratch->InnerKeyed.sha1.state : scratch->InnerKeyed.rmd160.state;
    const uint32_t *outer = member == StateMember::Sha1 ? scratch->OuterKeyed.sha1.state : scratch->OuterKeyed.rmd160.state;
    switch (path) {
    case IterationPath::ShaExtensions:
        Sha1HmacIterationsExtensions2(inner, outer, laneBytesU, laneBytesT, count);
        break;
    case IterationPath::Avx2Lanes:
        (member == StateMember::Sha1 ? Sha1IterationsAvx2 : Rmd160IterationsAvx2)(inner, outer, scratch->LaneU,
                                                                                  scratch->LaneT, count);
        break;
    case IterationPath::Sse2Lanes:
        (member == StateMember::Sha1 ? Sha1IterationsSse2 : Rmd160IterationsSse2)(inner, outer, scratch->LaneU,
                                                                                  scratch->LaneT, count);
        break;
    case IterationPath::WhirlpoolChains:
    case IterationPath::Descriptor:
        return CRYPT_INVALID_ARG;
    }
    uint32_t produced = 0;
    for (uint32_t lane = 0; lane < blocks; ++lane) {
        for (uint32_t w = 0; w < 5; ++w) {
            uint8_t word[4];
            if (path == IterationPath::ShaExtensions) {
                for (uint32_t i = 0; i < 4; ++i) {
                    word[i] = laneBytesT[20 * lane + 4 * w + i];
                }
            } else {
                StoreWord(word, scratch->LaneT[w * lanes + lane], member);
            }
            for (uint32_t i = 0; i < 4 && produced < left; ++i) {
                out[produced++] = word[i];
            }
            zeromem(word, sizeof word);
        }
    }
    return CRYPT_OK;
}

uint64_t LoadBigEndian64(const uint8_t *at) {
    uint64_t word = 0;
    for (uint32_t i = 0; i < 8; ++i) {
        word = (word << 8) | at[i];
    }
    return word;
}

// The same for Whirlpool's chains (keying/whirlpool_chains.cpp): the
// iterations after the first of `blocks` output blocks (at most
// WHIRLPOOL_CHAINS) from blockNumber on, into out (at most left bytes).
// The chains' words live on this frame and are wiped before it returns.
int32_t RunWhirlpoolChains(PBKDF2_SCRATCH *scratch, const uint8_t *salt, uint32_t saltLength, uint32_t iterations,
                           uint32_t blockNumber, uint32_t blocks, uint8_t *out, uint32_t left) {
    uint64_t u[8 * WHIRLPOOL_CHAINS];
    uint64_t t[8 * WHIRLPOOL_CHAINS];
    int32_t err = CRYPT_OK;
    for (uint32_t chain = 0; chain < blocks && err == CRYPT_OK; ++chain) {
        err = FirstHmac(scratch, StateMember::Whirlpool, salt, saltLength, blockNumber + chain);
        for (uint32_t w = 0; w < 8; ++w) {
            u[8 * chain + w] = LoadBigEndian64(scratch->U + 8 * w);
            t[8 * chain + w] = u[8 * chain + w];
        }
    }
    if (err == CRYPT_OK) {
        const uint32_t count = iterations > 1 ? iterations - 1 : 0;
        WhirlpoolHmacIterations(scratch->InnerKeyed.whirlpool.state, scratch->OuterKeyed.whirlpool.state, u, t,
                                blocks, count);
        uint32_t produced = 0;
        for (uint32_t i = 0; i < 64 * blocks && produced < left; ++i) {
            out[produced++] = static_cast<uint8_t>(t[i / 8] >> (56 - 8 * (i % 8)));
        }
    }
    zeromem(u, sizeof u);
    zeromem(t, sizeof t);
    return err;
}

}  // namespace

int32_t IsValidPrf(int32_t prf) {
    for (const PRF_TABLE_ENTRY *entry = PRF_TABLE; entry->Id != 0; ++entry) {
        if (entry->Id == prf) {
            return 1;
        }
    }
    return 0;
}

int32_t HashMemory(const struct ltc_hash_descriptor *hash, const uint8_t *data, uint32_t length, uint8_t *out,
                   uint32_t *outLength, hash_state *hashState) {
    if (*outLength < hash->hashsize) {
        return CRYPT_BUFFER_OVERFLOW;
    }
    int32_t err = hash->init(hashState);
    if (err != CRYPT_OK) {
        return err;
    }
    if (length != 0) {
        err = hash->process(hashState, data, length);
        if (err != CRYPT_OK) {
            return err;
        }
    }
    err = hash->done(hashState, out);
    *outLength = static_cast<uint32_t>(hash->hashsize);
    return err;
}

int32_t HmacInit(HMAC_SCRATCH *state, const struct ltc_hash_descriptor *hash, const uint8_t *key, uint32_t keyLength) {
    state->Descriptor = hash;
    if (keyLength == 0) {
        return CRYPT_INVALID_KEYSIZE;
    }
    if (!FitsScratch(hash)) {
        return CRYPT_INVALID_HASH;
    }
    const uint32_t block = static_cast<uint32_t>(hash->blocksize);
    if (keyLength > block) {
        uint32_t produced = block;
        const int32_t err = HashMemory(hash, key, keyLength, state->KeyBlock, &produced, &state->KeyHash);
        if (err != CRYPT_OK) {
            return err;
        }
        for (uint32_t i = static_cast<uint32_t>(hash->hashsize); i < block; ++i) {
            state->KeyBlock[i] = 0;
        }
    } else {
        for (uint32_t i = 0; i < keyLength; ++i) {
            state->KeyBlock[i] = key[i];
        }
        for (uint32_t i = keyLength; i < block; ++i) {
            state->KeyBlock[i] = 0;
        }
    }
    for (uint32_t i = 0; i < block; ++i) {
        state->PadBlock[i] = static_cast<uint8_t>(state->KeyBlock[i] ^ 0x36);
    }
    const int32_t err = hash->init(&state->Hash);
    if (err != CRYPT_OK) {
        return err;
    }
    return hash->process(&state->Hash, state->PadBlock, block);
}

int32_t HmacProcess(HMAC_SCRATCH *state, const uint8_t *data, uint32_t length) {
    if (length == 0) {
        return CRYPT_OK;  // nothing to add; the dependency rejects a null pointer even then
    }
    return state->Descriptor->process(&state->Hash, data, length);
}

int32_t HmacDone(HMAC_SCRATCH *state, uint8_t *out, uint32_t *outLength) {
    const struct ltc_hash_descriptor *hash = state->Descriptor;
    const uint32_t block = static_cast<uint32_t>(hash->blocksize);
    const uint32_t digest = static_cast<uint32_t>(hash->hashsize);
    int32_t err = hash->done(&state->Hash, state->InnerDigest);
    if (err != CRYPT_OK) {
        return err;
    }
    for (uint32_t i = 0; i < block; ++i) {
        state->PadBlock[i] = static_cast<uint8_t>(state->KeyBlock[i] ^ 0x5C);
    }
    if ((err = hash->init(&state->Hash)) != CRYPT_OK) {
        return err;
    }
    if ((err = hash->process(&state->Hash, state->PadBlock, block)) != CRYPT_OK) {
        return err;
    }
    if ((err = hash->process(&state->Hash, state->InnerDigest, digest)) != CRYPT_OK) {
        return err;
    }
    if ((err = hash->done(&state->Hash, state->PadBlock)) != CRYPT_OK) {
        return err;
    }
    const uint32_t count = digest < *outLength ? digest : *outLength;
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = state->PadBlock[i];
    }
    *outLength = count;
    return CRYPT_OK;
}

int32_t HmacMemory(const struct ltc_hash_descriptor *hash, const uint8_t *key, uint32_t keyLength, const uint8_t *data,
                   uint32_t length, uint8_t *out, uint32_t *outLength, HMAC_SCRATCH *state) {
    if (hash->hmac_block != nullptr) {
        unsigned long produced = *outLength;
        const int32_t err = hash->hmac_block(key, keyLength, data, length, out, &produced);
        if (err == CRYPT_OK) {
            *outLength = static_cast<uint32_t>(produced);
        }
        return err;
    }
    int32_t err = HmacInit(state, hash, key, keyLength);
    if (err != CRYPT_OK) {
        return err;
    }
    if ((err = HmacProcess(state, data, length)) != CRYPT_OK) {
        return err;
    }
    return HmacDone(state, out, outLength);
}

int32_t Pbkdf2(const uint8_t *password, uint32_t passwordLength, const uint8_t *salt, uint32_t saltLength,
               uint32_t iterations, const struct ltc_hash_descriptor *hash, uint8_t *out, uint32_t *outLength,
               PBKDF2_SCRATCH *scratch) {
    uint32_t left = *outLength;
    uint32_t produced = 0;
    uint32_t blockNumber = 1;
    if (left == 0) {
        *outLength = 0;
        return CRYPT_OK;
    }
    // Every HMAC of the derivation starts with the same two padded keys:
    // hash them once, and start each HMAC from copies of those states.
    int32_t err = AbsorbPaddedKeys(scratch, hash, password, passwordLength);
    if (err != CRYPT_OK) {
        return err;
    }
    const StateMember member = MemberOf(hash);
    const IterationPath path = PathFor(hash, member);
    const uint32_t x = static_cast<uint32_t>(hash->hashsize);
    if (path != IterationPath::Descriptor) {
        const uint32_t lanes = LanesOf(path);
        while (left != 0) {
            const uint32_t blocksLeft = left / x + (left % x != 0 ? 1 : 0);
            const uint32_t blocks = blocksLeft < lanes ? blocksLeft : lanes;
            err = path == IterationPath::WhirlpoolChains
                      ? RunWhirlpoolChains(scratch, salt, saltLength, iterations, blockNumber, blocks, out + produced,
                                           left)
                      : RunLanes(scratch, path, member, salt, saltLength, iterations, blockNumber, blocks,
                                 out + produced, left);
            if (err != CRYPT_OK) {
                return err;
            }
            const uint32_t done = blocks * x < left ? blocks * x : left;
            produced += done;
            left -= done;
            blockNumber += blocks;
        }
        *outLength = produced;
        return CRYPT_OK;
    }
    while (left != 0) {
        for (uint32_t i = 0; i < HMAC_MAX_BLOCK; ++i) {
            scratch->U[i] = 0;
            scratch->T[i] = 0;
        }
        if ((err = FirstHmac(scratch, member, salt, saltLength, blockNumber)) != CRYPT_OK) {
            return err;
        }
        ++blockNumber;
        for (uint32_t i = 0; i < x; ++i) {
            scratch->T[i] = scratch->U[i];
        }
        // Counted from 1 so that a count of 0xFFFFFFFF still ends; 0 and 1
        // both leave U1 alone.
        for (uint32_t iteration = 1; iteration < iterations; ++iteration) {
            if ((err = KeyedHmac(scratch, member, scratch->U, x, nullptr, 0, scratch->U)) != CRYPT_OK) {
                return err;
            }
            for (uint32_t i = 0; i < x; ++i) {
                scratch->T[i] = static_cast<uint8_t>(scratch->T[i] ^ scratch->U[i]);
            }
        }
        for (uint32_t i = 0; i < x && left != 0; ++i) {
            out[produced] = scratch->T[i];
            ++produced;
            --left;
        }
    }
    *outLength = produced;
    return CRYPT_OK;
}

int32_t DeriveKeyMaterial(uint8_t *out, uint32_t outLength, const uint8_t *password, uint32_t passwordLength,
                          const uint8_t *salt, uint32_t saltLength, int32_t prf, uint32_t iterations,
                          PBKDF2_SCRATCH *scratch) {
    const struct ltc_hash_descriptor *hash = nullptr;
    uint32_t defaultIterations = 0;
    if (!SelectPrf(prf, &hash, &defaultIterations)) {
        return 0;
    }
    const uint32_t count = iterations != 0 ? iterations : defaultIterations;
    uint32_t produced = outLength;
    if (Pbkdf2(password, passwordLength, salt, saltLength, count, hash, out, &produced, scratch) != CRYPT_OK) {
        return 0;
    }
    return produced == outLength ? 1 : 0;
}

int32_t DeriveHeaderKey(uint8_t *key, const uint8_t *password, uint32_t passwordLength, uint8_t *salt,
                        uint32_t saltLength, int32_t prf, uint32_t iterations, int32_t ea, PBKDF2_SCRATCH *scratch) {
    for (uint32_t derivation = 1;; ++derivation) {
        const struct ltc_hash_descriptor *hash = nullptr;
        uint32_t defaultIterations = 0;
        if (!SelectPrf(prf, &hash, &defaultIterations)) {
            return 0;
        }
        const uint32_t count = iterations != 0 ? iterations : defaultIterations;
        uint32_t produced = 128;
        if (Pbkdf2(password, passwordLength, salt, saltLength, count, hash, key, &produced, scratch) != CRYPT_OK ||
            produced != 128) {
            return 0;
        }
        if (!IsWeakKeyMaterial(key, ea)) {
            return 1;
        }
        if (saltLength == 0) {
            return 0;  // nothing left to vary
        }
        salt[0] = static_cast<uint8_t>(salt[0] + 1);
        if (derivation == 255) {
            return 0;
        }
    }
}

int32_t IsWeakKeyMaterial(const uint8_t *keyMaterial, int32_t ea) {
    // An all-zero LRW key makes every tweak zero, whatever the block size.
    uint8_t any = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        any = static_cast<uint8_t>(any | keyMaterial[i]);
    }
    if (any == 0) {
        return 1;
    }
    if (ea == EA_TRIPLE_DES) {
        return IsWeakTripleDesKey(keyMaterial + 32);
    }
    return 0;
}

int32_t IsWeakTripleDesKey(const uint8_t *key) {
    const uint8_t *k1 = key;
    const uint8_t *k2 = key + 8;
    const uint8_t *k3 = key + 16;
    // Equal neighbours collapse encrypt-decrypt-encrypt into a single DES.
    if (SameDesKey(k1, k2) || SameDesKey(k2, k3)) {
        return 1;
    }
    return IsDesWeakKey(k1) || IsDesWeakKey(k2) || IsDesWeakKey(k3) ? 1 : 0;
}

// PBKDF2 (PKCS #5 v2.0) written out over the hash descriptors, so that no
// working memory comes from anywhere but the caller: the dependency's own
// PBKDF2 allocates. The iterations after each output block's first HMAC run
// on a derivation path (keying/derivation_paths.h); this file is the glue
// that hands the paths their lanes and takes their results back.
#include "keying/pbkdf2.h"

#include "keying/byte_order.h"
#include "keying/derivation_paths.h"
#include "keying/whirlpool_path.h"
#include "keying/x86/path_kernels.h"

static_assert(PATH_MAX_LANES <= PBKDF2_MAX_LANES);

namespace {

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

// A path of its own only for LibTomCrypt's RIPEMD-160, SHA-1 or Whirlpool
// through and through; any other descriptor, even one that starts from such
// a state, is served through its operations.
PathHash PathHashOf(const struct ltc_hash_descriptor *hash, StateMember member) {
    if (member == StateMember::Sha1 && hash->process == sha1_process && hash->done == sha1_done) {
        return PathHash::Sha1;
    }
    if (member == StateMember::Rmd160 && hash->process == rmd160_process && hash->done == rmd160_done) {
        return PathHash::Rmd160;
    }
    if (member == StateMember::Whirlpool && hash->process == whirlpool_process && hash->done == whirlpool_done) {
        return PathHash::Whirlpool;
    }
    return PathHash::Other;
}

// The kernels of an instruction-set path; none for the others.
const PATH_KERNELS *KernelsOf(DerivationPath path) {
    switch (path) {
    case DerivationPath::Sse2:
        return &SSE2_PATH;
    case DerivationPath::Avx2:
        return &AVX2_PATH;
    case DerivationPath::ShaExtensions:
        return &SHA_EXTENSIONS_PATH;
    case DerivationPath::Portable:
    case DerivationPath::Whirlpool:
        break;
    }
    return nullptr;
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

// The iterations a path runs after each block's first HMAC: none for a count
// of 0 or 1, which both give U1 alone.
uint32_t IterationsAfterTheFirst(uint32_t iterations) {
    return iterations > 1 ? iterations - 1 : 0;
}

// The iterations after the first of `blocks` output blocks (at most the
// path's lanes) from blockNumber on, on an instruction-set path, their
// results into out (at most left bytes). Lanes beyond the blocks run copies
// of the last block and are dropped. SHA-1's words are big-endian numbers,
// RIPEMD-160's little-endian.
int32_t RunLanes(PBKDF2_SCRATCH *scratch, const PATH_KERNELS *kernels, PathHash hash, const uint8_t *salt,
                 uint32_t saltLength, uint32_t iterations, uint32_t blockNumber, uint32_t blocks, uint8_t *out,
                 uint32_t left) {
    const bool sha1 = hash == PathHash::Sha1;
    const StateMember member = sha1 ? StateMember::Sha1 : StateMember::Rmd160;
    const PathKernel kernel = sha1 ? kernels->Sha1 : kernels->Rmd160;
    if (kernel == nullptr) {
        return CRYPT_INVALID_ARG;
    }
    const uint32_t lanes = kernels->Lanes;
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        if (lane < blocks) {
            const int32_t err = FirstHmac(scratch, member, salt, saltLength, blockNumber + lane);
            if (err != CRYPT_OK) {
                return err;
            }
        }
        for (uint32_t w = 0; w < 5; ++w) {
            const uint8_t *word = scratch->U + 4 * w;
            scratch->LaneU[w * lanes + lane] = sha1 ? LoadBigEndian32(word) : LoadLittleEndian32(word);
            scratch->LaneT[w * lanes + lane] = scratch->LaneU[w * lanes + lane];
        }
    }
    const hash_state *inner = &scratch->InnerKeyed, *outer = &scratch->OuterKeyed;
    kernel(sha1 ? inner->sha1.state : inner->rmd160.state, sha1 ? outer->sha1.state : outer->rmd160.state,
           scratch->LaneU, scratch->LaneT, IterationsAfterTheFirst(iterations));
    uint32_t produced = 0;
    for (uint32_t lane = 0; lane < blocks; ++lane) {
        for (uint32_t w = 0; w < 5; ++w) {
            uint8_t word[4];
            (sha1 ? StoreBigEndian32 : StoreLittleEndian32)(word, scratch->LaneT[w * lanes + lane]);
            for (uint32_t i = 0; i < 4 && produced < left; ++i) {
                out[produced++] = word[i];
            }
            zeromem(word, sizeof word);
        }
    }
    return CRYPT_OK;
}

// The same on Whirlpool's path, whose words are 64-bit, eight a lane, lane
// after lane. The lanes' words live on this frame and are wiped before it
// returns.
int32_t RunWhirlpoolPath(PBKDF2_SCRATCH *scratch, const uint8_t *salt, uint32_t saltLength, uint32_t iterations,
                         uint32_t blockNumber, uint32_t blocks, uint8_t *out, uint32_t left) {
    uint64_t u[8 * WHIRLPOOL_PATH_LANES];
    uint64_t t[8 * WHIRLPOOL_PATH_LANES];
    int32_t err = CRYPT_OK;
    for (uint32_t lane = 0; lane < blocks && err == CRYPT_OK; ++lane) {
        err = FirstHmac(scratch, StateMember::Whirlpool, salt, saltLength, blockNumber + lane);
        for (uint32_t w = 0; w < 8; ++w) {
            u[8 * lane + w] = LoadBigEndian64(scratch->U + 8 * w);
            t[8 * lane + w] = u[8 * lane + w];
        }
    }
    if (err == CRYPT_OK) {
        WhirlpoolPathIterations(scratch->InnerKeyed.whirlpool.state, scratch->OuterKeyed.whirlpool.state, u, t,
                                blocks, IterationsAfterTheFirst(iterations));
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
    const PathHash pathHash = PathHashOf(hash, member);
    const DerivationPath path = DerivationPathFor(pathHash);
    const uint32_t x = static_cast<uint32_t>(hash->hashsize);
    if (path != DerivationPath::Portable) {
        const PATH_KERNELS *kernels = KernelsOf(path);
        const uint32_t lanes = kernels != nullptr ? kernels->Lanes : WHIRLPOOL_PATH_LANES;
        while (left != 0) {
            const uint32_t blocksLeft = left / x + (left % x != 0 ? 1 : 0);
            const uint32_t blocks = blocksLeft < lanes ? blocksLeft : lanes;
            err = kernels != nullptr
                      ? RunLanes(scratch, kernels, pathHash, salt, saltLength, iterations, blockNumber, blocks,
                                 out + produced, left)
                      : RunWhirlpoolPath(scratch, salt, saltLength, iterations, blockNumber, blocks, out + produced,
                                         left);
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


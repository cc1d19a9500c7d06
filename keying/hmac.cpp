// HMAC (RFC 2104) written out over the hash descriptors, so that no working
// memory comes from anywhere but the caller: the dependency's own HMAC
// allocates.
#include "keying/hmac.h"

namespace {

// A descriptor whose digest or block would not fit our fixed blocks cannot
// be served without overrunning the caller's scratch.
int32_t FitsScratch(const struct ltc_hash_descriptor *hash) {
    return hash->hashsize != 0 && hash->blocksize != 0 && hash->hashsize <= HMAC_MAX_BLOCK &&
           hash->blocksize <= HMAC_MAX_BLOCK;
}

}  // namespace

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


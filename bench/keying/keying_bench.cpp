// One header creation per PRF at its default count, and the same two
// derivations it runs (192 bytes of key material, 128 bytes of header key,
// both at the default count) done by our PBKDF2, by LibTomCrypt's own
// pkcs_5_alg2, by libgcrypt and by OpenSSL.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <tomcrypt.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "keying/keymaterial.h"
#include "keying/pbkdf2.h"

namespace {

struct Prf {
    int32_t id;
    const char *name;
    const struct ltc_hash_descriptor *ltc;
    int gcryMd;
    const char *openSslName;
    unsigned iterations;
};

const Prf kPrfs[] = {
    {1, "RIPEMD-160", &rmd160_desc, GCRY_MD_RMD160, "RIPEMD160", 2000},
    {2, "SHA-1", &sha1_desc, GCRY_MD_SHA1, "SHA1", 2000},
    {3, "Whirlpool", &whirlpool_desc, GCRY_MD_WHIRLPOOL, "WHIRLPOOL", 1000},
};

struct Inputs {
    std::array<uint8_t, 64> pool, salt, password, headerSalt;
    Inputs() {
        std::mt19937 rng(42);
        for (auto *a : {&pool, &salt, &password, &headerSalt})
            for (auto &b : *a) b = static_cast<uint8_t>(rng());
    }
};
const Inputs inputs;

const Prf &PrfOf(const benchmark::State &state) {
    const Prf &prf = kPrfs[state.range(0)];
    return prf;
}

void BM_CreateVolumeHeader(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    auto scratch = std::make_unique<KEY_SCRATCH>();
    ENTROPY_POOL pool{};
    PoolInit(&pool, 0);
    std::memcpy(pool.Data, inputs.pool.data(), 64);
    for (auto _ : state) {
        VOLUME_HEADER header{};
        VOLUME_PASSWORD password{};
        if (!CreateVolumeHeader(&header, &password, &pool, prf.id, 1, 0, scratch.get())) {
            state.SkipWithError("CreateVolumeHeader failed");
            break;
        }
        benchmark::DoNotOptimize(header.Bytes[0]);
    }
}

void BM_TwoDerivations_Pelmar(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    PBKDF2_SCRATCH scratch{};
    uint8_t material[192], key[128];
    for (auto _ : state) {
        auto salt = inputs.headerSalt;
        if (!DeriveKeyMaterial(material, 192, inputs.pool.data(), 64, inputs.salt.data(), 64, prf.id, 0, &scratch) ||
            !DeriveHeaderKey(key, inputs.password.data(), 64, salt.data(), 64, prf.id, 0, 1, &scratch)) {
            state.SkipWithError("derivation failed");
            break;
        }
        benchmark::DoNotOptimize(key[0]);
    }
}

void BM_TwoDerivations_LibTomCrypt(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    // pkcs_5_alg2 finds its hash by table index; registering is for the
    // benchmark only, the product never uses the table.
    const int index = register_hash(prf.ltc);
    uint8_t material[192], key[128];
    for (auto _ : state) {
        unsigned long materialLength = 192, keyLength = 128;
        if (pkcs_5_alg2(inputs.pool.data(), 64, inputs.salt.data(), 64, static_cast<int>(prf.iterations), index,
                        material, &materialLength) != CRYPT_OK ||
            pkcs_5_alg2(inputs.password.data(), 64, inputs.headerSalt.data(), 64, static_cast<int>(prf.iterations),
                        index, key, &keyLength) != CRYPT_OK) {
            state.SkipWithError("pkcs_5_alg2 failed");
            break;
        }
        benchmark::DoNotOptimize(key[0]);
    }
}

void BM_TwoDerivations_Libgcrypt(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    gcry_check_version(nullptr);
    uint8_t material[192], key[128];
    for (auto _ : state) {
        if (gcry_kdf_derive(inputs.pool.data(), 64, GCRY_KDF_PBKDF2, prf.gcryMd, inputs.salt.data(), 64,
                            prf.iterations, 192, material) != 0 ||
            gcry_kdf_derive(inputs.password.data(), 64, GCRY_KDF_PBKDF2, prf.gcryMd, inputs.headerSalt.data(), 64,
                            prf.iterations, 128, key) != 0) {
            state.SkipWithError("gcry_kdf_derive failed");
            break;
        }
        benchmark::DoNotOptimize(key[0]);
    }
}

void BM_TwoDerivations_OpenSSL(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    // Whirlpool lives in OpenSSL 3's legacy provider.
    static OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER *standard = OSSL_PROVIDER_load(nullptr, "default");
    (void)legacy;
    (void)standard;
    EVP_MD *md = EVP_MD_fetch(nullptr, prf.openSslName, nullptr);
    if (md == nullptr) {
        state.SkipWithError("digest not available in this OpenSSL");
        return;
    }
    uint8_t material[192], key[128];
    for (auto _ : state) {
        if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(inputs.pool.data()), 64, inputs.salt.data(), 64,
                              static_cast<int>(prf.iterations), md, 192, material) != 1 ||
            PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(inputs.password.data()), 64, inputs.headerSalt.data(), 64,
                              static_cast<int>(prf.iterations), md, 128, key) != 1) {
            state.SkipWithError("PKCS5_PBKDF2_HMAC failed");
            break;
        }
        benchmark::DoNotOptimize(key[0]);
    }
    EVP_MD_free(md);
}

// Our derivations must be the others' derivations, or the timings compare
// different work.
bool SameResults() {
    gcry_check_version(nullptr);
    for (const Prf &prf : kPrfs) {
        PBKDF2_SCRATCH scratch{};
        uint8_t ours[192], theirs[192];
        DeriveKeyMaterial(ours, 192, inputs.pool.data(), 64, inputs.salt.data(), 64, prf.id, 0, &scratch);
        gcry_kdf_derive(inputs.pool.data(), 64, GCRY_KDF_PBKDF2, prf.gcryMd, inputs.salt.data(), 64, prf.iterations,
                        192, theirs);
        if (std::memcmp(ours, theirs, 192) != 0) return false;
    }
    return true;
}

}  // namespace

BENCHMARK(BM_CreateVolumeHeader)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_Pelmar)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_LibTomCrypt)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_Libgcrypt)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_OpenSSL)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    if (!SameResults()) {
        std::fprintf(stderr, "our PBKDF2 disagrees with libgcrypt; timings would be meaningless\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

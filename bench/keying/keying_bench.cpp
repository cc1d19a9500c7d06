// One header creation per PRF at its default count, and the same two
// derivations it runs (192 bytes of key material, 128 bytes of header key,
// both at the default count) done by our PBKDF2, by LibTomCrypt's own
// pkcs_5_alg2, by libgcrypt and by OpenSSL; and the cost of one compression
// of each LibTomCrypt hash, which gives the floor of a derivation that does
// nothing but the compressions an iteration needs. After the runs a table
// shows every figure as a ratio to pkcs_5_alg2 of the same run.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <tomcrypt.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "keying/derivation_paths.h"
#include "keying/key_derivation.h"
#include "keying/keymaterial.h"
#include "keying/this_processor.h"
#include "keying/x86/path_kernels.h"

namespace {

struct Prf {
    int32_t id;
    const char *name;
    const struct ltc_hash_descriptor *ltc;
    int gcryMd;
    const char *openSslName;
    unsigned iterations;
    // Once the padded key is absorbed, an iteration hashes one digest after
    // the inner and one after the outer state: the digest, the 0x80 byte and
    // the length field (8 bytes, Whirlpool's 32) fill one block (Whirlpool's
    // 64-byte digest two).
    unsigned compressionsPerIteration;
};

const Prf kPrfs[] = {
    {1, "RIPEMD-160", &rmd160_desc, GCRY_MD_RMD160, "RIPEMD160", 2000, 2},
    {2, "SHA-1", &sha1_desc, GCRY_MD_SHA1, "SHA1", 2000, 2},
    {3, "Whirlpool", &whirlpool_desc, GCRY_MD_WHIRLPOOL, "WHIRLPOOL", 1000, 4},
};

// HMAC computations of the two derivations: one per output block and
// iteration.
double HmacsPerHeader(const Prf &prf) {
    const unsigned digest = static_cast<unsigned>(prf.ltc->hashsize);
    return static_cast<double>(((192 + digest - 1) / digest + (128 + digest - 1) / digest) * prf.iterations);
}

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

// Header creation and the two derivations take every path this processor
// allows (the fastest for each hash), as the native process does.
void UseThisProcessorsPaths() {
    UseDerivationPaths(DerivationPathsOfThisProcessor());
}

void BM_CreateVolumeHeader(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    UseThisProcessorsPaths();
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

void BM_TwoDerivations_Pelmar_Body(benchmark::State &state) {
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

void BM_TwoDerivations_Pelmar(benchmark::State &state) {
    UseThisProcessorsPaths();
    BM_TwoDerivations_Pelmar_Body(state);
}

// The two derivations on one path alone (0: the portable path through the
// descriptor), where the processor has it.
template <uint32_t PATH>
void BM_TwoDerivationsOn(benchmark::State &state) {
    if ((DerivationPathsOfThisProcessor() & PATH) != PATH) {
        state.SkipWithError("the processor lacks this path");
        return;
    }
    UseDerivationPaths(PATH);
    BM_TwoDerivations_Pelmar_Body(state);
}

// The same hash behind a descriptor whose done operation is not
// LibTomCrypt's own: PBKDF2 then keeps to the descriptor's operations, so
// SHA-1 runs on LibTomCrypt's compression even where the processor has the
// SHA extensions.
template <int (*Done)(hash_state *, unsigned char *)>
int ForwardDone(hash_state *md, unsigned char *out) {
    return Done(md, out);
}

ltc_hash_descriptor ThroughDescriptor(const ltc_hash_descriptor &hash) {
    ltc_hash_descriptor copy = hash;
    if (hash.done == sha1_done) copy.done = &ForwardDone<sha1_done>;
    if (hash.done == rmd160_done) copy.done = &ForwardDone<rmd160_done>;
    if (hash.done == whirlpool_done) copy.done = &ForwardDone<whirlpool_done>;
    return copy;
}

void BM_TwoDerivations_PelmarThroughDescriptor(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    const ltc_hash_descriptor hash = ThroughDescriptor(*prf.ltc);
    PBKDF2_SCRATCH scratch{};
    uint8_t material[192], key[128];
    for (auto _ : state) {
        uint32_t materialLength = 192, keyLength = 128;
        if (Pbkdf2(inputs.pool.data(), 64, inputs.salt.data(), 64, prf.iterations, &hash, material, &materialLength,
                   &scratch) != CRYPT_OK ||
            Pbkdf2(inputs.password.data(), 64, inputs.headerSalt.data(), 64, prf.iterations, &hash, key, &keyLength,
                   &scratch) != CRYPT_OK) {
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

// Whole blocks straight from the caller's buffer: each process call of a
// full block on an empty buffer is one compression and nothing else. One
// kilobyte, which stays in the first-level cache beside the hash's tables,
// as a derivation's few bytes do.
constexpr unsigned kCompressionBlocks = 16;

void BM_Compression_LibTomCrypt(benchmark::State &state) {
    const Prf &prf = PrfOf(state);
    state.SetLabel(prf.name);
    std::vector<uint8_t> data(kCompressionBlocks * prf.ltc->blocksize);
    std::mt19937 rng(7);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    hash_state md;
    prf.ltc->init(&md);
    for (auto _ : state) {
        prf.ltc->process(&md, data.data(), static_cast<unsigned long>(data.size()));
        benchmark::DoNotOptimize(&md);
    }
    state.SetItemsProcessed(state.iterations() * kCompressionBlocks);
}

void BM_Compression_ShaExtensions(benchmark::State &state) {
    if (!(DerivationPathsOfThisProcessor() & DERIVATION_PATH_SHA_EXTENSIONS)) {
        state.SkipWithError("the processor has no SHA extensions");
        return;
    }
    state.SetLabel("SHA-1");
    std::vector<uint8_t> data(kCompressionBlocks * 64);
    std::mt19937 rng(7);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    uint32_t chaining[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    for (auto _ : state) {
        for (unsigned block = 0; block < kCompressionBlocks; ++block) {
            Sha1CompressShaExtensions(chaining, data.data() + 64 * block);
        }
        benchmark::DoNotOptimize(chaining);
    }
    state.SetItemsProcessed(state.iterations() * kCompressionBlocks);
}

// Our derivations must be the others' derivations, or the timings compare
// different work.
bool SameResults() {
    gcry_check_version(nullptr);
    UseThisProcessorsPaths();
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
BENCHMARK(BM_TwoDerivations_PelmarThroughDescriptor)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivationsOn<0>)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivationsOn<DERIVATION_PATH_SSE2>)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivationsOn<DERIVATION_PATH_AVX2>)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivationsOn<DERIVATION_PATH_SHA_EXTENSIONS>)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivationsOn<DERIVATION_PATH_WHIRLPOOL>)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_LibTomCrypt)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_Libgcrypt)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoDerivations_OpenSSL)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compression_LibTomCrypt)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compression_ShaExtensions)->Arg(1)->Unit(benchmark::kMicrosecond);

namespace {

// Shows every run as usual and keeps the least processor time per
// iteration over the repetitions of each benchmark for the ratio table: on a
// shared machine other work only ever adds time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0 || run.error_occurred) continue;
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            const auto found = seconds_.find(name);
            if (found == seconds_.end() || seconds < found->second) seconds_[name] = seconds;
        }
    }
    // Seconds per iteration, 0 when the benchmark did not run.
    double Seconds(const std::string &function, int prf) const {
        const auto found = seconds_.find(function + "/" + std::to_string(prf));
        return found == seconds_.end() ? 0 : found->second;
    }

private:
    std::map<std::string, double> seconds_;
};

void PrintRatios(const RatioReporter &reporter) {
    struct Row {
        const char *title;
        const char *function;
    };
    const Row rows[] = {
        {"Pelmar header creation", "BM_CreateVolumeHeader"},
        {"Pelmar two derivations", "BM_TwoDerivations_Pelmar"},
        {"  plain (descriptor)", "BM_TwoDerivationsOn<0>"},
        {"  SSE2, 4 lanes", "BM_TwoDerivationsOn<DERIVATION_PATH_SSE2>"},
        {"  AVX2, 8 lanes", "BM_TwoDerivationsOn<DERIVATION_PATH_AVX2>"},
        {"  SHA extensions, 2 lanes", "BM_TwoDerivationsOn<DERIVATION_PATH_SHA_EXTENSIONS>"},
        {"  Whirlpool, 3 lanes", "BM_TwoDerivationsOn<DERIVATION_PATH_WHIRLPOOL>"},
        {"  other descriptor", "BM_TwoDerivations_PelmarThroughDescriptor"},
        {"pkcs_5_alg2", "BM_TwoDerivations_LibTomCrypt"},
        {"libgcrypt", "BM_TwoDerivations_Libgcrypt"},
        {"OpenSSL", "BM_TwoDerivations_OpenSSL"},
    };
    std::printf("\nTwo derivations of one header creation at the default counts, processor time\n"
                "(the least of the repetitions) relative to LibTomCrypt's pkcs_5_alg2 in this\n"
                "run (lower is faster):\n\n");
    std::printf("%-28s", "");
    for (const Prf &prf : kPrfs) std::printf("%14s", prf.name);
    std::printf("\n%-28s", "pkcs_5_alg2 (ms)");
    for (int i = 0; i < 3; ++i) std::printf("%14.2f", 1e3 * reporter.Seconds("BM_TwoDerivations_LibTomCrypt", i));
    std::printf("\n");
    for (const Row &row : rows) {
        std::printf("%-28s", row.title);
        for (int i = 0; i < 3; ++i) {
            const double base = reporter.Seconds("BM_TwoDerivations_LibTomCrypt", i);
            const double value = reporter.Seconds(row.function, i);
            if (base > 0 && value > 0) {
                std::printf("%14.3f", value / base);
            } else {
                std::printf("%14s", "-");
            }
        }
        std::printf("\n");
    }
    // The floor: HMACs x compressions per iteration x one LibTomCrypt
    // compression as measured above.
    std::printf("%-28s", "floor");
    for (int i = 0; i < 3; ++i) {
        const double base = reporter.Seconds("BM_TwoDerivations_LibTomCrypt", i);
        const double block = reporter.Seconds("BM_Compression_LibTomCrypt", i) / kCompressionBlocks;
        if (base > 0 && block > 0) {
            std::printf("%14.3f", HmacsPerHeader(kPrfs[i]) * kPrfs[i].compressionsPerIteration * block / base);
        } else {
            std::printf("%14s", "-");
        }
    }
    std::printf("\n%-28s", "  one compression (ns)");
    for (int i = 0; i < 3; ++i) {
        std::printf("%14.1f", 1e9 * reporter.Seconds("BM_Compression_LibTomCrypt", i) / kCompressionBlocks);
    }
    std::printf("\n%-28s%14s", "  SHA extensions (ns)", "-");
    const double extensions = reporter.Seconds("BM_Compression_ShaExtensions", 1);
    if (extensions > 0) {
        std::printf("%14.1f%14s", 1e9 * extensions / kCompressionBlocks, "-");
    } else {
        std::printf("%14s%14s", "-", "-");
    }
    std::printf("\n%-28s", "  compressions/iteration");
    for (const Prf &prf : kPrfs) std::printf("%14u", prf.compressionsPerIteration);
    std::printf("\n%-28s", "  HMACs per header");
    for (const Prf &prf : kPrfs) std::printf("%14.0f", HmacsPerHeader(prf));
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (!SameResults()) {
        std::fprintf(stderr, "our PBKDF2 disagrees with libgcrypt; timings would be meaningless\n");
        return 1;
    }
    // Repeated and interleaved unless the command line says otherwise (a
    // later flag wins), so that the table's figures are the least disturbed.
    std::vector<char *> arguments(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, {repetitions, interleaving});
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}

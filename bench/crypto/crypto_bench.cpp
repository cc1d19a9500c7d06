// Block encryption, ours next to libgcrypt's: single Serpent blocks, and
// 448-byte LRW encryption (the size of a sealed header) for every EA, where
// the libgcrypt side runs the same LRW arithmetic over its ECB ciphers.
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "crypto/descriptors.h"
#include "crypto/ea.h"
#include "crypto/lrw.h"
#include "crypto/serpent.h"

namespace {

std::vector<uint8_t> Random(size_t length, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint8_t> bytes(length);
    for (auto &b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

void InitGcrypt() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

struct Gcrypt {
    gcry_cipher_hd_t Handle = nullptr;
    Gcrypt(int algorithm, const uint8_t *key, size_t length) {
        InitGcrypt();
        gcry_cipher_open(&Handle, algorithm, GCRY_CIPHER_MODE_ECB, 0);
        gcry_cipher_setkey(Handle, key, length);
    }
    ~Gcrypt() { gcry_cipher_close(Handle); }
};

void SerpentBlock_Pelmar(benchmark::State &state) {
    const auto key = Random(32, 1);
    EA_SCHEDULE schedule{};
    SerpentSetup(key.data(), 32, 0, &schedule.Ltc);
    auto block = Random(16, 2);
    for (auto _ : state) {
        SerpentEncryptBlock(block.data(), block.data(), &schedule.Ltc);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK(SerpentBlock_Pelmar);

void SerpentBlock_Gcrypt(benchmark::State &state) {
    const auto key = Random(32, 1);
    Gcrypt cipher(GCRY_CIPHER_SERPENT256, key.data(), 32);
    auto block = Random(16, 2);
    for (auto _ : state) {
        gcry_cipher_encrypt(cipher.Handle, block.data(), 16, nullptr, 0);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(state.iterations() * 16);
}
BENCHMARK(SerpentBlock_Gcrypt);

// Slot ciphers of each EA on the libgcrypt side: algorithm, key offset, length.
struct Stage {
    int Algorithm;
    size_t Offset, Length;
    bool LittleEndianHalves;
};
const std::vector<std::vector<Stage>> kStages = {
    {},
    {{GCRY_CIPHER_AES256, 32, 32, false}},
    {{GCRY_CIPHER_BLOWFISH, 32, 56, true}},
    {{GCRY_CIPHER_CAST5, 32, 16, false}},
    {{GCRY_CIPHER_SERPENT256, 32, 32, false}},
    {{GCRY_CIPHER_3DES, 32, 24, false}},
    {{GCRY_CIPHER_TWOFISH, 32, 32, false}},
    {{GCRY_CIPHER_TWOFISH, 32, 32, false}, {GCRY_CIPHER_AES256, 64, 32, false}},
    {{GCRY_CIPHER_SERPENT256, 32, 32, false}, {GCRY_CIPHER_TWOFISH, 64, 32, false}, {GCRY_CIPHER_AES256, 96, 32, false}},
    {{GCRY_CIPHER_AES256, 32, 32, false}, {GCRY_CIPHER_SERPENT256, 64, 32, false}},
    {{GCRY_CIPHER_AES256, 32, 32, false}, {GCRY_CIPHER_TWOFISH, 64, 32, false}, {GCRY_CIPHER_SERPENT256, 96, 32, false}},
    {{GCRY_CIPHER_SERPENT256, 32, 32, false}, {GCRY_CIPHER_TWOFISH, 64, 32, false}},
};

constexpr size_t kHeaderBytes = 448;

void Lrw448_Pelmar(benchmark::State &state) {
    const int ea = static_cast<int>(state.range(0));
    const auto keyArea = Random(128, 3);
    auto buffer = Random(kHeaderBytes, 4);
    EA_CONTEXT context;
    EaSetup(&context, keyArea.data(), ea);
    for (auto _ : state) {
        LrwSetBlockIndex(&context, 1);
        LrwEncrypt(&context, buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.data());
    }
    EaRelease(&context);
    state.SetBytesProcessed(state.iterations() * kHeaderBytes);
}

void ReverseHalves(uint8_t *b) {
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
    std::swap(b[4], b[7]);
    std::swap(b[5], b[6]);
}

void Lrw448_GcryptEcb(benchmark::State &state) {
    const int ea = static_cast<int>(state.range(0));
    const auto keyArea = Random(128, 3);
    auto buffer = Random(kHeaderBytes, 4);
    std::vector<std::unique_ptr<Gcrypt>> ciphers;
    for (const Stage &s : kStages[ea]) {
        ciphers.push_back(std::make_unique<Gcrypt>(s.Algorithm, keyArea.data() + s.Offset, s.Length));
    }
    const size_t blockSize = gcry_cipher_get_algo_blklen(kStages[ea][0].Algorithm);
    for (auto _ : state) {
        uint64_t index = 1;
        for (size_t offset = 0; offset < buffer.size(); offset += blockSize, ++index) {
            uint8_t indexBytes[8], tweak[16];
            for (int i = 0; i < 8; ++i) {
                indexBytes[i] = static_cast<uint8_t>(index >> (56 - 8 * i));
            }
            if (blockSize == 16) {
                LrwTweak128(keyArea.data(), indexBytes, tweak);
            } else {
                LrwTweak64(keyArea.data(), indexBytes, tweak);
            }
            uint8_t *block = buffer.data() + offset;
            for (size_t i = 0; i < blockSize; ++i) {
                block[i] ^= tweak[i];
            }
            for (size_t s = 0; s < ciphers.size(); ++s) {
                if (kStages[ea][s].LittleEndianHalves) {
                    ReverseHalves(block);
                }
                gcry_cipher_encrypt(ciphers[s]->Handle, block, blockSize, nullptr, 0);
                if (kStages[ea][s].LittleEndianHalves) {
                    ReverseHalves(block);
                }
            }
            for (size_t i = 0; i < blockSize; ++i) {
                block[i] ^= tweak[i];
            }
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * kHeaderBytes);
}
}  // namespace

// The LRW pairs are registered EA by EA so that each pair sits side by side.
int main(int argc, char **argv) {
    for (int ea = 1; ea <= 11; ++ea) {
        benchmark::RegisterBenchmark("Lrw448_Pelmar", Lrw448_Pelmar)->Arg(ea);
        benchmark::RegisterBenchmark("Lrw448_GcryptEcb", Lrw448_GcryptEcb)->Arg(ea);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

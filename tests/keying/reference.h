// libgcrypt references and random inputs for the keying tests.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <tomcrypt.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "keying/derivation_paths.h"
#include "keying/this_processor.h"
#include "ntsim/tcformat/tcformat.h"

namespace keying_test {

using Bytes = std::vector<uint8_t>;

struct HashCase {
    int32_t prf;
    const struct ltc_hash_descriptor *ltc;
    int gcryMd;
    int gcryMac;
    uint32_t digest;
    uint32_t defaultIterations;
};

inline const HashCase kHashes[] = {
    {1, &rmd160_desc, GCRY_MD_RMD160, GCRY_MAC_HMAC_RMD160, 20, 2000},
    {2, &sha1_desc, GCRY_MD_SHA1, GCRY_MAC_HMAC_SHA1, 20, 2000},
    {3, &whirlpool_desc, GCRY_MD_WHIRLPOOL, GCRY_MAC_HMAC_WHIRLPOOL, 64, 1000},
};

inline Bytes RandomBytes(std::mt19937 &rng, std::size_t n) {
    Bytes out(n);
    for (auto &b : out) b = static_cast<uint8_t>(rng());
    return out;
}

inline uint32_t RandomIn(std::mt19937 &rng, uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(rng);
}

inline Bytes GcryPbkdf2(int md, std::span<const uint8_t> password, std::span<const uint8_t> salt, unsigned long count,
                        std::size_t length) {
    ntsim::tc::InitGcrypt();
    static const uint8_t nothing = 0;
    Bytes out(length);
    const gcry_error_t err = gcry_kdf_derive(password.data(), password.size(), GCRY_KDF_PBKDF2, md,
                                             salt.empty() ? &nothing : salt.data(), salt.size(), count, length,
                                             out.data());
    EXPECT_EQ(err, 0u) << gcry_strerror(err);
    return out;
}

inline Bytes GcryHmac(int mac, std::span<const uint8_t> key, std::span<const uint8_t> data) {
    ntsim::tc::InitGcrypt();
    gcry_mac_hd_t handle = nullptr;
    EXPECT_EQ(gcry_mac_open(&handle, mac, 0, nullptr), 0u);
    EXPECT_EQ(gcry_mac_setkey(handle, key.data(), key.size()), 0u);
    EXPECT_EQ(gcry_mac_write(handle, data.data(), data.size()), 0u);
    Bytes out(gcry_mac_get_algo_maclen(mac));
    std::size_t length = out.size();
    EXPECT_EQ(gcry_mac_read(handle, out.data(), &length), 0u);
    gcry_mac_close(handle);
    return out;
}

// PBKDF2 of RFC 2898 written out over libgcrypt's HMAC, for the one input
// libgcrypt's own PBKDF2 refuses: an empty salt.
inline Bytes HmacPbkdf2(int mac, std::span<const uint8_t> password, std::span<const uint8_t> salt, unsigned long count,
                        std::size_t length) {
    Bytes out;
    for (uint32_t block = 1; out.size() < length; ++block) {
        Bytes input(salt.begin(), salt.end());
        for (int shift = 24; shift >= 0; shift -= 8) input.push_back(static_cast<uint8_t>(block >> shift));
        Bytes u = GcryHmac(mac, password, input);
        std::array<uint8_t, 64> t{};
        std::copy(u.begin(), u.end(), t.begin());
        for (unsigned long i = 1; i < count; ++i) {
            u = GcryHmac(mac, password, u);
            for (std::size_t j = 0; j < u.size(); ++j) t[j] ^= u[j];
        }
        out.insert(out.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(u.size()));
    }
    out.resize(length);
    return out;
}

inline Bytes GcryHash(int md, std::span<const uint8_t> data) {
    ntsim::tc::InitGcrypt();
    Bytes out(gcry_md_get_algo_dlen(md));
    gcry_md_hash_buffer(md, out.data(), data.data(), data.size());
    return out;
}

inline Bytes Slice(std::span<const uint8_t> bytes, std::size_t offset, std::size_t length) {
    return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

struct PathCase {
    const char *name;
    uint32_t paths;
};
inline const PathCase kPaths[] = {{"Portable", 0},
                                  {"Sse2", DERIVATION_PATH_SSE2},
                                  {"Avx2", DERIVATION_PATH_AVX2},
                                  {"ShaExtensions", DERIVATION_PATH_SHA_EXTENSIONS},
                                  {"Whirlpool", DERIVATION_PATH_WHIRLPOOL}};
inline void PrintTo(const PathCase &path, std::ostream *out) { *out << path.name; }

// The derivation paths a test uses, until the end of the scope however the
// scope ends: the path in use is the keying library's own global, and no
// test may hand it to the next.
struct PathsInUse {
    explicit PathsInUse(uint32_t paths) { UseDerivationPaths(paths); }
    ~PathsInUse() { UseDerivationPaths(0); }
};

// A test run once on each derivation path alone. A path this processor
// lacks is a skipped test, seen as such; the whole runs reach every path on
// any processor that has it by hiding the others (--cpu-features). The
// path is cleared after every test, however it ended.
class OnEveryPath : public testing::TestWithParam<PathCase> {
  protected:
    void SetUp() override {
        if ((DerivationPathsOfThisProcessor() & GetParam().paths) != GetParam().paths)
            GTEST_SKIP() << "the " << GetParam().name << " path is not on this processor";
        UseDerivationPaths(GetParam().paths);
    }
    void TearDown() override { UseDerivationPaths(0); }
};
#define INSTANTIATE_ON_EVERY_PATH(Suite)                                                     \
    INSTANTIATE_TEST_SUITE_P(Path, Suite, testing::ValuesIn(keying_test::kPaths),            \
                             [](const testing::TestParamInfo<keying_test::PathCase> &info) { \
                                 return std::string(info.param.name);                         \
                             })

}  // namespace keying_test

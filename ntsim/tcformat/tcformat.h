// The driver model's view of a TrueCrypt 4.3 volume: open a 512-byte header
// with a password (every PRF at its default count, every encryption
// algorithm), and encrypt or decrypt a mounted volume's sectors under the
// master keys the header holds.
//
// Written independently of the product's keying and block-encryption code:
// libgcrypt supplies PBKDF2 and the block ciphers, LRW arithmetic and CRC-32
// are this file's own. Only plain constants (ids, offsets) are shared, so a
// header that opens here was sealed the way the real driver expects.
#pragma once

#include <gcrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ntsim::tc {

inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kSaltSize = 64;
inline constexpr std::size_t kKeyAreaSize = 128;
inline constexpr std::size_t kSectorSize = 512;

// PRF ids with their default counts, tried in this order when opening.
inline constexpr int32_t kPrfRipemd160 = 1;
inline constexpr int32_t kPrfSha1 = 2;
inline constexpr int32_t kPrfWhirlpool = 3;
inline constexpr int32_t kFirstEa = 1;
inline constexpr int32_t kLastEa = 11;

// Initialises libgcrypt once (no secure memory); safe to call repeatedly.
void InitGcrypt();

// Default iteration count of a PRF id, 0 for an unknown id.
uint32_t DefaultIterations(int32_t prf);

// PBKDF2-HMAC over the PRF's hash, by libgcrypt. nullopt for an unknown PRF
// or when libgcrypt refuses (an empty password, for one).
std::optional<std::vector<uint8_t>> Pbkdf2(int32_t prf, std::span<const uint8_t> password,
                                           std::span<const uint8_t> salt, uint32_t iterations, std::size_t length);

// Standard CRC-32 (reflected 0xEDB88320, initial and final 0xFFFFFFFF).
uint32_t Crc32(std::span<const uint8_t> bytes);

// LRW tweaks: key times the block index in GF(2^128) mod x^128+x^7+x^2+x+1,
// resp. GF(2^64) mod x^64+x^4+x^3+x+1; byte strings big-endian.
std::array<uint8_t, 16> TweakProduct128(std::span<const uint8_t, 16> key, uint64_t index);
std::array<uint8_t, 8> TweakProduct64(std::span<const uint8_t, 8> key, uint64_t index);

// One encryption algorithm (a cipher or a cascade) keyed from a 128-byte key
// area (tweak key at 0, cipher keys at 32, 64, 96), inside one LRW layer.
class EaCipher {
public:
    // nullopt for an EA id outside 1..11 or a key libgcrypt refuses.
    static std::optional<EaCipher> Create(int32_t ea, std::span<const uint8_t, kKeyAreaSize> keyArea);

    EaCipher(EaCipher &&other) noexcept;
    EaCipher &operator=(EaCipher &&other) noexcept;
    EaCipher(const EaCipher &) = delete;
    EaCipher &operator=(const EaCipher &) = delete;
    ~EaCipher();

    int32_t Ea() const { return ea_; }
    std::size_t BlockSize() const { return blockSize_; }

    // In place, block by block from firstIndex on (the index wraps past
    // 2^64 - 1 to 0). False, data untouched, when the length is not a
    // multiple of the block size.
    bool LrwEncrypt(uint64_t firstIndex, std::span<uint8_t> data) const;
    bool LrwDecrypt(uint64_t firstIndex, std::span<uint8_t> data) const;

    // The model's data layout: container byte 512 on holds volume sector 0;
    // the first cipher block of sector n has index n * (512 / block) + 1.
    uint64_t FirstBlockIndexOfSector(uint64_t sector) const;
    bool EncryptSectors(uint64_t firstSector, std::span<uint8_t> data) const;
    bool DecryptSectors(uint64_t firstSector, std::span<uint8_t> data) const;

private:
    struct Stage {
        gcry_cipher_hd_t handle = nullptr;
        bool littleEndianHalves = false;  // our Blowfish reads its halves little-endian
    };
    EaCipher() = default;
    void Release();
    void EncryptBlock(uint8_t *block) const;
    void DecryptBlock(uint8_t *block) const;
    std::array<uint8_t, 16> Tweak(uint64_t index) const;
    bool LrwTransform(uint64_t firstIndex, std::span<uint8_t> data, bool encrypt) const;

    int32_t ea_ = 0;
    std::size_t blockSize_ = 0;
    std::array<uint8_t, 16> tweakKey_{};
    std::vector<Stage> stages_;  // in the order applied on encryption
};

struct OpenedHeader {
    int32_t prf = 0;
    int32_t ea = 0;
    std::array<uint8_t, kHeaderSize> header{};      // salt as stored, bytes 64..511 decrypted
    std::array<uint8_t, kKeyAreaSize> masterKey{};  // decrypted bytes 256..383
    std::array<uint8_t, kKeyAreaSize> headerKey{};  // the key derived from password and salt that opened it
};

// Tries every PRF (RIPEMD-160, SHA-1, Whirlpool at 2000, 2000, 1000) and
// every EA (1..11) in turn; accepts the first pair under which bytes 64..67
// read "TRUE" and the CRC-32 of bytes 256..511 equals the big-endian value at
// 72. nullopt when none does.
std::optional<OpenedHeader> OpenVolumeHeader(std::span<const uint8_t, kHeaderSize> header,
                                             std::span<const uint8_t> password);

// What deriving the header key with prf (at its default count) from password
// and salt leaves in the deriving process's memory where it is not wiped
// (ntsim/tcformat/derivation_secrets.cpp): the padded keys, the keyed inner
// and outer hash states (from which any derivation with this password can
// be finished without it), Whirlpool's key schedules of them, the derived
// bytes and each output block's last HMAC output, each in the forms a
// derivation holds them. nullopt for an unknown PRF, a password longer than
// the hash's block, or when this model's hash compression disagrees with
// libgcrypt.
struct DerivationSecret {
    std::string name;
    std::vector<uint8_t> bytes;
};
std::optional<std::vector<DerivationSecret>> HeaderKeyDerivationSecrets(int32_t prf, std::span<const uint8_t> password,
                                                                       std::span<const uint8_t> salt);

// The cipher of a mounted volume's data area: the opened header's EA keyed
// from its master key material.
std::optional<EaCipher> DataAreaCipher(const OpenedHeader &opened);

}  // namespace ntsim::tc

// The driver model's header check and data-area cipher, over libgcrypt.
//
// Byte conventions of the volume format against libgcrypt's ciphers:
// - Serpent: the volume format reads key and block as little-endian numbers
//   (block word X0 = bytes 0..3 little-endian, and so on; key word i = bytes
//   4i..4i+3 little-endian, a short key padded by a 1 bit above its top).
//   libgcrypt's Serpent loads and stores its words with the same
//   little-endian byte order and pads the same way, so its ECB output is used
//   as it is: no byte reversal on either side. (Reversing key, plaintext and
//   ciphertext would be the big-endian reading of the published reference
//   vectors, which the format does not use.) The tests pin this with the
//   three 128/192/256-bit vectors the format's Serpent is defined by.
// - Blowfish: the format's Blowfish reads and writes each 32-bit half of the
//   block little-endian; libgcrypt's is the standard big-endian one, so each
//   half is byte-reversed before and after the cipher. The key is not.
// - AES, Twofish, CAST5, Triple DES (K1 applied first, encrypt-decrypt-
//   encrypt): libgcrypt's standard forms, unchanged.
#include "ntsim/tcformat/tcformat.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace ntsim::tc {
namespace {

struct CipherKind {
    int algorithm;  // GCRY_CIPHER_*
    std::size_t keyLength;
    bool littleEndianHalves;
};

constexpr CipherKind kAes{GCRY_CIPHER_AES256, 32, false};
constexpr CipherKind kTwofish{GCRY_CIPHER_TWOFISH, 32, false};
constexpr CipherKind kSerpent{GCRY_CIPHER_SERPENT256, 32, false};
constexpr CipherKind kBlowfish{GCRY_CIPHER_BLOWFISH, 56, true};
constexpr CipherKind kCast5{GCRY_CIPHER_CAST5, 16, false};
constexpr CipherKind kTripleDes{GCRY_CIPHER_3DES, 24, false};

struct EaLayout {
    std::size_t blockSize;
    std::vector<CipherKind> stages;  // applied first to last on encryption
};

std::optional<EaLayout> LayoutOf(int32_t ea) {
    switch (ea) {
    case 1: return EaLayout{16, {kAes}};
    case 2: return EaLayout{8, {kBlowfish}};
    case 3: return EaLayout{8, {kCast5}};
    case 4: return EaLayout{16, {kSerpent}};
    case 5: return EaLayout{8, {kTripleDes}};
    case 6: return EaLayout{16, {kTwofish}};
    case 7: return EaLayout{16, {kTwofish, kAes}};              // "AES-Twofish"
    case 8: return EaLayout{16, {kSerpent, kTwofish, kAes}};    // "AES-Twofish-Serpent"
    case 9: return EaLayout{16, {kAes, kSerpent}};              // "Serpent-AES"
    case 10: return EaLayout{16, {kAes, kTwofish, kSerpent}};   // "Serpent-Twofish-AES"
    case 11: return EaLayout{16, {kSerpent, kTwofish}};         // "Twofish-Serpent"
    default: return std::nullopt;
    }
}

int HashOf(int32_t prf) {
    switch (prf) {
    case kPrfRipemd160: return GCRY_MD_RMD160;
    case kPrfSha1: return GCRY_MD_SHA1;
    case kPrfWhirlpool: return GCRY_MD_WHIRLPOOL;
    default: return 0;
    }
}

void ReverseHalves(uint8_t *block) {
    std::reverse(block, block + 4);
    std::reverse(block + 4, block + 8);
}

uint64_t LoadBigEndian64(const uint8_t *at) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | at[i];
    }
    return value;
}

void StoreBigEndian64(uint8_t *at, uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

}  // namespace

void InitGcrypt() {
    static std::once_flag once;
    std::call_once(once, [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

uint32_t DefaultIterations(int32_t prf) {
    switch (prf) {
    case kPrfRipemd160: return 2000;
    case kPrfSha1: return 2000;
    case kPrfWhirlpool: return 1000;
    default: return 0;
    }
}

std::optional<std::vector<uint8_t>> Pbkdf2(int32_t prf, std::span<const uint8_t> password,
                                           std::span<const uint8_t> salt, uint32_t iterations, std::size_t length) {
    InitGcrypt();
    const int hash = HashOf(prf);
    if (hash == 0) {
        return std::nullopt;
    }
    static const uint8_t kNothing = 0;  // libgcrypt wants a pointer even for empty input
    std::vector<uint8_t> out(length);
    const gcry_error_t err =
        gcry_kdf_derive(password.empty() ? &kNothing : password.data(), password.size(), GCRY_KDF_PBKDF2, hash,
                        salt.empty() ? &kNothing : salt.data(), salt.size(), iterations, length, out.data());
    if (err != 0) {
        return std::nullopt;
    }
    return out;
}

uint32_t Crc32(std::span<const uint8_t> bytes) {
    // Bitwise, without a table: a second way to the same standard value.
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return crc ^ 0xFFFFFFFFu;
}

// Right-to-left double-and-add on 64-bit words: the index is walked from its
// lowest bit up while the key is doubled, the opposite order to the
// product's Horner walk.
std::array<uint8_t, 16> TweakProduct128(std::span<const uint8_t, 16> key, uint64_t index) {
    uint64_t addendHigh = LoadBigEndian64(key.data());
    uint64_t addendLow = LoadBigEndian64(key.data() + 8);
    uint64_t high = 0;
    uint64_t low = 0;
    for (; index != 0; index >>= 1) {
        if (index & 1) {
            high ^= addendHigh;
            low ^= addendLow;
        }
        const bool overflow = (addendHigh >> 63) != 0;
        addendHigh = (addendHigh << 1) | (addendLow >> 63);
        addendLow <<= 1;
        if (overflow) {
            addendLow ^= 0x87;
        }
    }
    std::array<uint8_t, 16> product{};
    StoreBigEndian64(product.data(), high);
    StoreBigEndian64(product.data() + 8, low);
    return product;
}

std::array<uint8_t, 8> TweakProduct64(std::span<const uint8_t, 8> key, uint64_t index) {
    uint64_t addend = LoadBigEndian64(key.data());
    uint64_t value = 0;
    for (; index != 0; index >>= 1) {
        if (index & 1) {
            value ^= addend;
        }
        const bool overflow = (addend >> 63) != 0;
        addend <<= 1;
        if (overflow) {
            addend ^= 0x1B;
        }
    }
    std::array<uint8_t, 8> product{};
    StoreBigEndian64(product.data(), value);
    return product;
}

std::optional<EaCipher> EaCipher::Create(int32_t ea, std::span<const uint8_t, kKeyAreaSize> keyArea) {
    InitGcrypt();
    std::optional<EaLayout> layout = LayoutOf(ea);
    if (!layout) {
        return std::nullopt;
    }
    EaCipher cipher;
    cipher.ea_ = ea;
    cipher.blockSize_ = layout->blockSize;
    std::copy_n(keyArea.begin(), 16, cipher.tweakKey_.begin());
    for (std::size_t slot = 0; slot < layout->stages.size(); ++slot) {
        const CipherKind &stage = layout->stages[slot];
        Stage opened;
        opened.littleEndianHalves = stage.littleEndianHalves;
        if (gcry_cipher_open(&opened.handle, stage.algorithm, GCRY_CIPHER_MODE_ECB, 0) != 0) {
            return std::nullopt;
        }
        cipher.stages_.push_back(opened);
        const gcry_error_t err = gcry_cipher_setkey(opened.handle, keyArea.data() + 32 * (slot + 1), stage.keyLength);
        // A DES weak key is reported but still set; the driver would mount
        // such a volume all the same, so the model does too.
        if (err != 0 && gcry_err_code(err) != GPG_ERR_WEAK_KEY) {
            return std::nullopt;
        }
    }
    return cipher;
}

EaCipher::EaCipher(EaCipher &&other) noexcept
    : ea_(other.ea_), blockSize_(other.blockSize_), tweakKey_(other.tweakKey_), stages_(std::move(other.stages_)) {
    other.stages_.clear();
    other.tweakKey_.fill(0);
}

EaCipher &EaCipher::operator=(EaCipher &&other) noexcept {
    if (this != &other) {
        Release();
        ea_ = other.ea_;
        blockSize_ = other.blockSize_;
        tweakKey_ = other.tweakKey_;
        stages_ = std::move(other.stages_);
        other.stages_.clear();
        other.tweakKey_.fill(0);
    }
    return *this;
}

EaCipher::~EaCipher() { Release(); }

void EaCipher::Release() {
    for (Stage &stage : stages_) {
        gcry_cipher_close(stage.handle);  // libgcrypt wipes the key schedule
    }
    stages_.clear();
    tweakKey_.fill(0);
}

void EaCipher::EncryptBlock(uint8_t *block) const {
    for (const Stage &stage : stages_) {
        if (stage.littleEndianHalves) ReverseHalves(block);
        gcry_cipher_encrypt(stage.handle, block, blockSize_, nullptr, 0);
        if (stage.littleEndianHalves) ReverseHalves(block);
    }
}

// A cascade is inverted as a whole: the last stage applied is undone first.
void EaCipher::DecryptBlock(uint8_t *block) const {
    for (auto stage = stages_.rbegin(); stage != stages_.rend(); ++stage) {
        if (stage->littleEndianHalves) ReverseHalves(block);
        gcry_cipher_decrypt(stage->handle, block, blockSize_, nullptr, 0);
        if (stage->littleEndianHalves) ReverseHalves(block);
    }
}

std::array<uint8_t, 16> EaCipher::Tweak(uint64_t index) const {
    std::array<uint8_t, 16> tweak{};
    if (blockSize_ == 16) {
        tweak = TweakProduct128(std::span<const uint8_t, 16>(tweakKey_), index);
    } else {
        const auto narrow = TweakProduct64(std::span<const uint8_t, 8>(tweakKey_.data(), 8), index);
        std::copy(narrow.begin(), narrow.end(), tweak.begin());
    }
    return tweak;
}

bool EaCipher::LrwEncrypt(uint64_t firstIndex, std::span<uint8_t> data) const {
    return LrwTransform(firstIndex, data, true);
}

bool EaCipher::LrwDecrypt(uint64_t firstIndex, std::span<uint8_t> data) const {
    return LrwTransform(firstIndex, data, false);
}

bool EaCipher::LrwTransform(uint64_t firstIndex, std::span<uint8_t> data, bool encrypt) const {
    if (blockSize_ == 0 || data.size() % blockSize_ != 0) {
        return false;
    }
    uint64_t index = firstIndex;
    for (std::size_t at = 0; at < data.size(); at += blockSize_, ++index) {
        const auto tweak = Tweak(index);
        uint8_t *block = data.data() + at;
        for (std::size_t i = 0; i < blockSize_; ++i) block[i] ^= tweak[i];
        if (encrypt) {
            EncryptBlock(block);
        } else {
            DecryptBlock(block);
        }
        for (std::size_t i = 0; i < blockSize_; ++i) block[i] ^= tweak[i];
    }
    return true;
}

uint64_t EaCipher::FirstBlockIndexOfSector(uint64_t sector) const {
    return sector * (kSectorSize / blockSize_) + 1;
}

bool EaCipher::EncryptSectors(uint64_t firstSector, std::span<uint8_t> data) const {
    if (data.size() % kSectorSize != 0) {
        return false;
    }
    // Sectors are consecutive in block index too, so one LRW run covers them.
    return LrwEncrypt(FirstBlockIndexOfSector(firstSector), data);
}

bool EaCipher::DecryptSectors(uint64_t firstSector, std::span<uint8_t> data) const {
    if (data.size() % kSectorSize != 0) {
        return false;
    }
    return LrwDecrypt(FirstBlockIndexOfSector(firstSector), data);
}

std::optional<OpenedHeader> OpenVolumeHeader(std::span<const uint8_t, kHeaderSize> header,
                                             std::span<const uint8_t> password) {
    const std::span<const uint8_t> salt = header.first(kSaltSize);
    for (int32_t prf : {kPrfRipemd160, kPrfSha1, kPrfWhirlpool}) {
        std::optional<std::vector<uint8_t>> key = Pbkdf2(prf, password, salt, DefaultIterations(prf), kKeyAreaSize);
        if (!key) {
            continue;
        }
        for (int32_t ea = kFirstEa; ea <= kLastEa; ++ea) {
            std::optional<EaCipher> cipher =
                EaCipher::Create(ea, std::span<const uint8_t, kKeyAreaSize>(key->data(), kKeyAreaSize));
            if (!cipher) {
                continue;
            }
            OpenedHeader opened;
            opened.prf = prf;
            opened.ea = ea;
            std::copy(header.begin(), header.end(), opened.header.begin());
            cipher->LrwDecrypt(1, std::span<uint8_t>(opened.header).subspan(64));
            const uint8_t *bytes = opened.header.data();
            if (std::memcmp(bytes + 64, "TRUE", 4) != 0) {
                continue;
            }
            const uint32_t stored = static_cast<uint32_t>(bytes[72]) << 24 | static_cast<uint32_t>(bytes[73]) << 16 |
                                    static_cast<uint32_t>(bytes[74]) << 8 | bytes[75];
            if (Crc32(std::span<const uint8_t>(opened.header).subspan(256, 256)) != stored) {
                continue;
            }
            std::copy_n(opened.header.begin() + 256, kKeyAreaSize, opened.masterKey.begin());
            std::copy_n(key->begin(), kKeyAreaSize, opened.headerKey.begin());
            std::fill(key->begin(), key->end(), 0);
            return opened;
        }
        std::fill(key->begin(), key->end(), 0);
    }
    return std::nullopt;
}

std::optional<EaCipher> DataAreaCipher(const OpenedHeader &opened) {
    return EaCipher::Create(opened.ea, std::span<const uint8_t, kKeyAreaSize>(opened.masterKey));
}

}  // namespace ntsim::tc

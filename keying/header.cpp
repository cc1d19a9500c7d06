// The last step of header creation: header key, fixed fields, checksum and
// LRW encryption of bytes 64..511, in the format the TrueCrypt driver reads.
#include "keying/volume_header.h"

#include "crypto/ea.h"
#include "crypto/lrw.h"
#include "keying/byte_order.h"
#include "keying/key_derivation.h"
#include "keying/pool.h"
#include "keying/prf.h"

static_assert(sizeof(PBKDF2_SCRATCH) <= offsetof(KEY_SCRATCH, Key),
              "the derivation's working memory must not reach the key buffer it fills");

namespace {

constexpr uint32_t HEADER_ENCRYPTED_START = 64;
constexpr uint32_t HEADER_MAGIC = 64;
constexpr uint32_t HEADER_VERSION = 68;
constexpr uint32_t HEADER_READER_VERSION = 70;
constexpr uint32_t HEADER_KEY_CRC = 72;
constexpr uint32_t HEADER_KEY_AREA = 256;
constexpr uint32_t HEADER_SALT_LENGTH = 64;

}  // namespace

int32_t IsValidEa(int32_t ea) {
    for (const EA_TABLE_ENTRY *entry = EA_TABLE; entry->Id != 0; ++entry) {
        if (entry->Id == ea) {
            return 1;
        }
    }
    return 0;
}

int32_t SealVolumeHeader(VOLUME_HEADER *header, const uint8_t *passwordText, uint32_t passwordLength, int32_t prf,
                         int32_t ea, KEY_SCRATCH *scratch) {
    if (!IsValidPrf(prf) || !IsValidEa(ea)) {
        return 0;
    }
    uint8_t *bytes = header->Bytes;

    // Always the PRF's default count: the driver knows no other. The salt in
    // the header is raised in place for every weak key met, so it ends up as
    // the one that produced the accepted key.
    PBKDF2_SCRATCH *work = reinterpret_cast<PBKDF2_SCRATCH *>(scratch);
    if (!DeriveHeaderKey(scratch->Key, passwordText, passwordLength, bytes, HEADER_SALT_LENGTH, prf, 0, ea, work)) {
        return 0;
    }
    if (!EaSetup(&scratch->Ea, scratch->Key, ea)) {
        return 0;
    }

    for (uint32_t i = 100; i < HEADER_KEY_AREA; ++i) {
        bytes[i] = 0;
    }
    bytes[HEADER_MAGIC + 0] = 'T';
    bytes[HEADER_MAGIC + 1] = 'R';
    bytes[HEADER_MAGIC + 2] = 'U';
    bytes[HEADER_MAGIC + 3] = 'E';
    StoreBigEndian16(bytes + HEADER_VERSION, 0x0002);
    StoreBigEndian16(bytes + HEADER_READER_VERSION, 0x0410);
    StoreBigEndian32(bytes + HEADER_KEY_CRC, Crc32(bytes + HEADER_KEY_AREA, 512 - HEADER_KEY_AREA));

    const int32_t encrypted = LrwEncrypt(&scratch->Ea, bytes + HEADER_ENCRYPTED_START, 512 - HEADER_ENCRYPTED_START);
    EaRelease(&scratch->Ea);
    return encrypted ? 1 : 0;
}

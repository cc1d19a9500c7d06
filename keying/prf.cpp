#include "keying/prf.h"

const PRF_TABLE_ENTRY PRF_TABLE[] = {
    {PRF_RIPEMD160, 2000, "RIPEMD-160"},
    {PRF_RIPEMD160, 2000, "RIPEMD160"},
    {PRF_SHA1, 2000, "SHA-1"},
    {PRF_SHA1, 2000, "SHA1"},
    {PRF_WHIRLPOOL, 1000, "Whirlpool"},
    {0, 0, nullptr},
};

namespace {

// The first row of the id, or the terminating row.
const PRF_TABLE_ENTRY *RowOf(int32_t prf) {
    const PRF_TABLE_ENTRY *entry = PRF_TABLE;
    while (entry->Id != 0 && entry->Id != prf) {
        ++entry;
    }
    return entry;
}

}  // namespace

int32_t IsValidPrf(int32_t prf) {
    return RowOf(prf)->Id != 0 ? 1 : 0;
}

int32_t SelectPrf(int32_t prf, const struct ltc_hash_descriptor **hash, uint32_t *defaultIterations) {
    const PRF_TABLE_ENTRY *row = RowOf(prf);
    const struct ltc_hash_descriptor *descriptor = nullptr;
    switch (row->Id) {
    case PRF_RIPEMD160:
        descriptor = &rmd160_desc;
        break;
    case PRF_SHA1:
        descriptor = &sha1_desc;
        break;
    case PRF_WHIRLPOOL:
        descriptor = &whirlpool_desc;
        break;
    default:
        return 0;
    }
    *hash = descriptor;
    *defaultIterations = static_cast<uint32_t>(row->DefaultIterations);
    return 1;
}

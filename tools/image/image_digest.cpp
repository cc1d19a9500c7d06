// An image file's SHA-256 (see image_digest.h), with LibTomCrypt's hash.
#include "tools/image/image_digest.h"

#include <tomcrypt.h>

#include <algorithm>

namespace pelmar_tools {

bool ImageDigest(const VolumeSource &image, std::vector<uint8_t> &digest, std::string &error) {
    hash_state state;
    sha256_init(&state);
    std::vector<uint8_t> block(1 << 20);
    for (uint64_t at = 0; at < image.Size();) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), image.Size() - at));
        if (!image.ReadAt(at, block.data(), n, error)) {
            error = "cannot read " + image.Name() + ": " + error;
            return false;
        }
        sha256_process(&state, block.data(), static_cast<unsigned long>(n));
        at += n;
    }
    digest.assign(32, 0);
    sha256_done(&state, digest.data());
    return true;
}

}  // namespace pelmar_tools

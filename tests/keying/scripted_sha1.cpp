#include "tests/keying/scripted_sha1.h"

#include <tomcrypt.h>

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<uint64_t, uint64_t>> zeroRanges;
uint64_t failFrom = std::numeric_limits<uint64_t>::max();
uint64_t computed = 0;

int ScriptedDone(hash_state *state, unsigned char *out) {
    const uint64_t number = computed++;
    const int err = sha1_done(state, out);
    if (number >= failFrom) {
        return CRYPT_ERROR;
    }
    for (const auto &[from, to] : zeroRanges) {
        if (number >= from && number < to) {
            std::memset(out, 0, 20);
        }
    }
    return err;
}

}  // namespace

// Every reference to sha1_desc in the keying library lands here.
extern "C" const struct ltc_hash_descriptor __wrap_sha1_desc = {
    "sha1", 2, 20, 64, {1, 3, 14, 3, 2, 26}, 6, &sha1_init, &sha1_process, &ScriptedDone, &sha1_test, nullptr,
};

namespace scripted_sha1 {

void Reset() {
    zeroRanges.clear();
    failFrom = std::numeric_limits<uint64_t>::max();
    computed = 0;
}

void ZeroDigests(uint64_t from, uint64_t to) { zeroRanges.emplace_back(from, to); }

void FailDigestsFrom(uint64_t from) { failFrom = from; }

uint64_t DigestsComputed() { return computed; }

}  // namespace scripted_sha1

// The secret scan over the memory the native process got from the machine.
#include "ntsim/secret_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "ntsim/ntsim.h"

namespace ntsim {
namespace {

struct SecretState {
    std::vector<SecretSample> secrets;
    bool hookAdded = false;
};

SecretState &State() { return Machine::Get().Extension<SecretState>("ntsim.secrets"); }

bool OneRepeatedByte(const uint8_t *bytes, size_t length) {
    for (size_t i = 1; i < length; ++i)
        if (bytes[i] != bytes[0]) return false;
    return true;
}

// Windows are keyed by their first eight bytes; the rest is compared on a hit.
uint64_t Prefix(const uint8_t *at, size_t length) {
    uint64_t value = 0;
    std::memcpy(&value, at, std::min<size_t>(length, 8));
    return value;
}

struct WindowOrigin {
    size_t secret;
    size_t offset;
    size_t length;
};

struct Match {
    size_t secret;
    size_t region;
    size_t secretOffset;
    size_t regionOffset;
    size_t length;
};

}  // namespace

std::vector<SecretFinding> FindSecrets(const std::vector<MemoryRegion> &regions,
                                       const std::vector<SecretSample> &secrets, size_t window) {
    // Windows of different lengths (a short secret is one window of its
    // own length) are searched in groups of one length.
    std::map<size_t, std::unordered_multimap<uint64_t, WindowOrigin>> windowsByLength;
    for (size_t s = 0; s < secrets.size(); ++s) {
        const std::vector<uint8_t> &bytes = secrets[s].bytes;
        if (bytes.empty()) continue;
        const size_t length = std::min(window, bytes.size());
        for (size_t offset = 0; offset + length <= bytes.size(); ++offset) {
            if (length > 1 && OneRepeatedByte(bytes.data() + offset, length)) continue;
            windowsByLength[length].emplace(Prefix(bytes.data() + offset, length), WindowOrigin{s, offset, length});
        }
    }

    std::vector<Match> matches;
    for (size_t r = 0; r < regions.size(); ++r) {
        const MemoryRegion &region = regions[r];
        if (!region.data) continue;
        for (const auto &[length, windows] : windowsByLength) {
            for (size_t at = 0; at + length <= region.size; ++at) {
                auto [first, last] = windows.equal_range(Prefix(region.data + at, length));
                for (auto it = first; it != last; ++it) {
                    const WindowOrigin &origin = it->second;
                    if (std::memcmp(region.data + at, secrets[origin.secret].bytes.data() + origin.offset, length) == 0)
                        matches.push_back({origin.secret, r, origin.offset, at, length});
                }
            }
        }
    }

    // Windows one byte apart along the same copy (same secret, same region,
    // same distance between the two offsets) are one finding.
    std::sort(matches.begin(), matches.end(), [](const Match &a, const Match &b) {
        auto key = [](const Match &m) {
            return std::make_tuple(m.secret, m.region, m.regionOffset - m.secretOffset, m.regionOffset);
        };
        return key(a) < key(b);
    });
    std::vector<SecretFinding> findings;
    const Match *open = nullptr;
    size_t openEnd = 0;  // region offset one past the open finding
    for (const Match &m : matches) {
        bool continues = open && open->secret == m.secret && open->region == m.region &&
                         open->regionOffset - open->secretOffset == m.regionOffset - m.secretOffset &&
                         m.regionOffset <= openEnd;
        if (continues) {
            openEnd = std::max(openEnd, m.regionOffset + m.length);
            findings.back().length = openEnd - findings.back().regionOffset;
            continue;
        }
        open = &m;
        openEnd = m.regionOffset + m.length;
        findings.push_back({secrets[m.secret].name, m.secretOffset, regions[m.region].name, m.regionOffset, m.length});
    }
    return findings;
}

std::vector<MemoryRegion> ProcessMemoryRegions() {
    std::vector<MemoryRegion> regions;
    AppendProcessImageRegions(regions);
    AppendHeapRegions(regions);
    AppendConversionRegions(regions);
    AppendNativeStackRegion(regions);
    return regions;
}

void NoteRunSecret(std::string name, std::span<const uint8_t> bytes) {
    State().secrets.push_back({std::move(name), std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

// A 16-byte window of random bytes almost always holds at least 12
// distinct values, three of them above 0x7F; pointers, counters, zero-filled
// records, UTF-16 text (every other byte zero) and ASCII text (even padded
// with a fill byte) do not.
constexpr size_t kRandomLookingValues = 12;
constexpr size_t kRandomLookingHighValues = 3;

bool LooksRandom(const uint8_t *window) {
    bool seen[256] = {};
    size_t distinct = 0, high = 0;
    for (size_t i = 0; i < kSecretWindow; ++i) {
        if (!seen[window[i]]) {
            seen[window[i]] = true;
            ++distinct;
            if (window[i] >= 0x80) ++high;
        }
    }
    return distinct >= kRandomLookingValues && high >= kRandomLookingHighValues;
}

void NoteRunMemory(const std::string &when) {
    std::vector<MemoryRegion> blocks;
    AppendHeapRegions(blocks);
    for (const MemoryRegion &block : blocks) {
        // Each stretch of random-looking windows becomes one secret.
        for (size_t at = 0; at + kSecretWindow <= block.size;) {
            if (!LooksRandom(block.data + at)) {
                ++at;
                continue;
            }
            size_t last = at;
            while (last + 1 + kSecretWindow <= block.size && LooksRandom(block.data + last + 1)) ++last;
            const size_t end = last + kSecretWindow;
            State().secrets.push_back({"memory of " + block.name + " at " + when + " (bytes " +
                                           std::to_string(at) + ".." + std::to_string(end - 1) + ")",
                                       std::vector<uint8_t>(block.data + at, block.data + end)});
            at = end;
        }
    }
}

const std::vector<SecretSample> &RunSecrets() { return State().secrets; }

std::vector<SecretFinding> RunSecretScan() {
    Machine &machine = Machine::Get();
    const std::vector<SecretSample> &secrets = RunSecrets();
    if (secrets.empty()) {
        machine.Trace("secret scan: no mount request reached the driver, no secret to search for");
        return {};
    }
    for (const SecretSample &secret : secrets)
        machine.Trace("secret scan searches for: the " + secret.name + " (" + std::to_string(secret.bytes.size()) +
                      " bytes)");
    std::vector<MemoryRegion> regions = ProcessMemoryRegions();
    size_t searched = 0;
    for (const MemoryRegion &region : regions) searched += region.size;
    std::vector<SecretFinding> findings = FindSecrets(regions, secrets);
    if (findings.empty()) {
        machine.Trace("secret scan: no secret left in process memory (" + std::to_string(searched) +
                      " bytes searched)");
        return findings;
    }
    for (const SecretFinding &f : findings) {
        std::string line = "secret scan: " + std::to_string(f.length) + " bytes of the " + f.secret + " (bytes " +
                           std::to_string(f.secretOffset) + ".." + std::to_string(f.secretOffset + f.length - 1) +
                           ") left in " + f.region + " at offset " + std::to_string(f.regionOffset);
        machine.Trace(line);
        fprintf(stderr, "ntsim: %s\n", line.c_str());
    }
    machine.Trace("secret scan: " + std::to_string(findings.size()) +
                  (findings.size() == 1 ? " copy" : " copies") + " of secrets left in process memory (" +
                  std::to_string(searched) + " bytes searched)");
    return findings;
}

void InstallSecretScan() {
    SecretState &state = State();
    if (state.hookAdded || !Machine::Get().options().secretScan) return;
    state.hookAdded = true;
    Machine::Get().AtProcessEnd([] { RunSecretScan(); });
}

}  // namespace ntsim

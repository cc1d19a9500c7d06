// The secret scan: when the native process has ended, the machine searches
// the memory it gave the process (heap blocks, the strings the conversions
// allocated, the process parameters and environment, the environment blocks)
// for the secrets of the run as the driver model saw them: the password of
// each mount request, and the header key and master key material of each
// header the model opened, and whatever random-looking bytes the process's
// heap held when a mount request reached the driver (the pool, the run's
// other secrets). Any 16-byte window of a secret counts, so a partial copy is
// found too. The native process's stack is machine memory and is searched
// as well. --secret-scan turns it on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ntsim {

// A piece of memory the native process got from the machine.
struct MemoryRegion {
    std::string name;  // e.g. "heap 0x5555... block 0x7f00..."
    const uint8_t *data = nullptr;
    size_t size = 0;
};

struct SecretSample {
    std::string name;  // e.g. "password of mount request 1"
    std::vector<uint8_t> bytes;
};

// One stretch of a secret found in a region: bytes secretOffset to
// secretOffset + length - 1 of the secret at regionOffset of the region.
struct SecretFinding {
    std::string secret;
    size_t secretOffset = 0;
    std::string region;
    size_t regionOffset = 0;
    size_t length = 0;
};

inline constexpr size_t kSecretWindow = 16;

// Every place where a window of `window` bytes of a secret occurs in the
// regions, overlapping matches along one copy merged into one finding. A
// secret shorter than the window is searched whole; windows of one repeated
// byte value (zero-filled memory would match them) are not searched.
std::vector<SecretFinding> FindSecrets(const std::vector<MemoryRegion> &regions,
                                       const std::vector<SecretSample> &secrets, size_t window = kSecretWindow);

// The memory the process got: heap blocks (ntsim/process.cpp), conversion
// allocations (ntsim/strings.cpp), parameters, environment, PEB and TEB.
std::vector<MemoryRegion> ProcessMemoryRegions();
void AppendHeapRegions(std::vector<MemoryRegion> &out);
void AppendProcessImageRegions(std::vector<MemoryRegion> &out);
void AppendConversionRegions(std::vector<MemoryRegion> &out);
// The part of the native thread's stack the process used (ntsim/process.cpp).
void AppendNativeStackRegion(std::vector<MemoryRegion> &out);

// The driver model hands over what it learnt of the run's secrets (copies
// kept on the machine, outside the process's memory). Both are called on the
// machine's own stack (Machine::OffNativeStack), as the whole mount is, so
// that none of the copying is left in the native stack the scan searches.
void NoteRunSecret(std::string name, std::span<const uint8_t> bytes);
const std::vector<SecretSample> &RunSecrets();

// When the process hands the driver a secret it holds all the others of the
// run (the pool it came from, keys, their working state): every stretch of
// random-looking bytes in its heap blocks at that moment ("when" names it)
// becomes a secret to search for too.
void NoteRunMemory(const std::string &when);

// Adds the process-end hook that scans and reports, once per machine, when
// --secret-scan is given. The report: trace lines beginning "secret scan: ",
// and each finding on standard error too.
void InstallSecretScan();

// Runs the scan now and reports it; returns the findings.
std::vector<SecretFinding> RunSecretScan();

}  // namespace ntsim

// pelmar.exe's and pelmar-service.exe's digests against the ones built with
// the installer (see install_digest_win32.h).
#include "tools/pelmar-install/install_digest_win32.h"

#include <tomcrypt.h>

#include <cstring>
#include <vector>

#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_file_reads_win32.h"
#include "tools/platform/win32_text.h"

// The digests of the pelmar.exe and pelmar-service.exe built with this
// program (cmake/pe-digest.py).
extern const unsigned char kPelmarDigest[32];
extern const unsigned char kServiceDigest[32];

namespace pelmar_tools {
namespace {

// Empty when `path` is the program `name` whose digest is `expected`.
std::string DigestProblem(const std::wstring &path, const unsigned char *expected, const char *name) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadProgramFile(path, bytes, error)) return "cannot read " + Narrow(path.c_str()) + ": " + error;
    std::vector<FileRange> ranges;
    size_t padding = 0;
    if (!AuthenticodeRanges(bytes, ranges, padding, error)) return Narrow(path.c_str()) + ": " + error;
    hash_state state;
    unsigned char digest[32];
    sha256_init(&state);
    for (const FileRange &r : ranges) {
        sha256_process(&state, bytes.data() + r.first, static_cast<unsigned long>(r.second));
    }
    const unsigned char zeros[8] = {};
    if (padding) sha256_process(&state, zeros, static_cast<unsigned long>(padding));
    sha256_done(&state, digest);
    if (std::memcmp(digest, expected, sizeof digest) != 0) {
        return Narrow(path.c_str()) + " is not the " + name +
               " built with this pelmar-install (its digest differs): use the programs of one release, from a "
               "folder only administrators can change";
    }
    return {};
}

}  // namespace

std::string ProgramProblem(const std::wstring &path) { return DigestProblem(path, kPelmarDigest, "pelmar.exe"); }

std::string ServiceProgramProblem(const std::wstring &path) {
    return DigestProblem(path, kServiceDigest, "pelmar-service.exe");
}

}  // namespace pelmar_tools

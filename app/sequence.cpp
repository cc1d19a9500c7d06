// The main sequence: entropy, the container's old header, the new header,
// the mount and the restore, in one strictly linear run. Each step runs only
// when the steps it needs have succeeded; every failure has been reported by
// the part that met it, and the run only stops.
#include "app/sequence.h"

#include <tomcrypt.h>

#include "app/na_tc.h"
#include "app/restore.h"
#include "keying/derivation_paths.h"
#include "keying/keymaterial.h"
#include "keying/pool.h"
#include "lib-na/na.h"

const ULONG ENTROPY_INFO_CLASSES[] = {2, 3, 5, 6, 8, 11, 16, 21, 23, 33, 36, 43, 45, 51, 55, 0};

namespace {

// Container and image are read with synchronous, sequential I/O.
constexpr ULONG kSynchronousSequential = FILE_SYNCHRONOUS_IO_NONALERT | FILE_SEQUENTIAL_ONLY;
constexpr ULONG kImageBasicInfoOffset = 40;  // the NT path follows the 40 bytes of basic information

// Where the processor has a hardware random source, 8 bytes of it follow
// every time-stamp reading. RDSEED (the entropy source itself) is preferred
// to RDRAND (its generator); either may be busy for a moment, so a few
// attempts are made, and a source that keeps failing only costs its bytes.
// Mixing adds to the pool and never replaces what is there, so a weak or
// absent source cannot make the pool worse.
constexpr uint32_t HARDWARE_RANDOM_ATTEMPTS = 10;
constexpr ULONG CPUID_RDRAND_LEAF = 1, CPUID_RDRAND_ECX_BIT = 30;
constexpr ULONG CPUID_RDSEED_LEAF = 7, CPUID_RDSEED_EBX_BIT = 18;

enum HardwareRandomSource { NO_HARDWARE_RANDOM, HARDWARE_RDRAND, HARDWARE_RDSEED };

HardwareRandomSource FindHardwareRandomSource() {
    ULONG registers[4];
    ProcessorIdentify(0, 0, registers);
    const ULONG highestLeaf = registers[0];
    if (highestLeaf >= CPUID_RDSEED_LEAF) {
        ProcessorIdentify(CPUID_RDSEED_LEAF, 0, registers);
        if (registers[1] & (1u << CPUID_RDSEED_EBX_BIT)) return HARDWARE_RDSEED;
    }
    if (highestLeaf >= CPUID_RDRAND_LEAF) {
        ProcessorIdentify(CPUID_RDRAND_LEAF, 0, registers);
        if (registers[2] & (1u << CPUID_RDRAND_ECX_BIT)) return HARDWARE_RDRAND;
    }
    return NO_HARDWARE_RANDOM;
}

// The derivation paths of the key derivations, as the processor and the system
// allow them: AVX2 only where the system saves the YMM registers across
// task switches (XCR0, read only where OSXSAVE says XGETBV exists). The
// choice is noted for the stand-in's trace.
void ChooseDerivationPaths() {
    ULONG registers[4];
    ProcessorIdentify(0, 0, registers);
    const ULONG highestLeaf = registers[0];
    ULONG leaf1Ecx = 0, leaf1Edx = 0, leaf7Ebx = 0;
    ULONGLONG xcr0 = 0;
    if (highestLeaf >= 1) {
        ProcessorIdentify(1, 0, registers);
        leaf1Ecx = registers[2];
        leaf1Edx = registers[3];
        if (leaf1Ecx & (1u << 27)) xcr0 = ProcessorReadExtendedControl(0);
    }
    if (highestLeaf >= 7) {
        ProcessorIdentify(7, 0, registers);
        leaf7Ebx = registers[1];
    }
    const uint32_t paths = DerivationPathsOf(leaf1Ecx, leaf1Edx, leaf7Ebx, xcr0);
    UseDerivationPaths(paths);
    ProcessorNoteDerivationPaths(paths);
}

void MixEightBytes(ENTROPY_POOL *pool, uint64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    PoolAdd(pool, bytes, sizeof bytes);
    zeromem(bytes, sizeof bytes);
}

void MixHardwareRandom(ENTROPY_POOL *pool) {
    const HardwareRandomSource source = FindHardwareRandomSource();
    if (source == NO_HARDWARE_RANDOM) return;
    for (uint32_t attempt = 0; attempt < HARDWARE_RANDOM_ATTEMPTS; ++attempt) {
        ULONGLONG value = 0;
        const BOOLEAN delivered = ProcessorRandom64(source == HARDWARE_RDSEED, &value);
        if (delivered) MixEightBytes(pool, value);
        zeromem(&value, sizeof value);
        if (delivered) return;
    }
}

void MixTimeStamp(ENTROPY_POOL *pool) {
    MixEightBytes(pool, ReadTimeStampCounter());
    MixHardwareRandom(pool);
}

void MixSystemInformation(APP_CONTEXT *context) {
    for (const ULONG *infoClass = ENTROPY_INFO_CLASSES; *infoClass; ++infoClass) {
        ULONG length = 0;
        if (NaGetSystemInformation(*infoClass, context->Scratch, APP_SCRATCH_SIZE, &length))
            PoolAdd(&context->Pool, context->Scratch, length);
    }
}

void CloseFileHandle(HANDLE *handle) {
    NtClose(*handle);
    *handle = nullptr;
}

// The container's current first 512 bytes; their encrypted part salts the
// new key material. A container that cannot be read leaves the header as it
// is (zeros in a fresh context) and the run goes on.
void ReadOldHeader(APP_CONTEXT *context) {
    if (!GetNtFileName(context->NtPath, APP_NT_PATH_CHARS, context->ContainerPath)) return;
    if (!CreateFile(&context->FileHandle, context->NtPath, GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN,
                    kSynchronousSequential))
        return;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    ReadFile(context->FileHandle, context->Header.Bytes, sizeof context->Header.Bytes, nullptr, &offset);
    CloseFileHandle(&context->FileHandle);
}

// The image file's time stamps and attributes; failures only cost entropy.
void MixImageTimeStamps(APP_CONTEXT *context) {
    auto *path = reinterpret_cast<WCHAR *>(context->Scratch + kImageBasicInfoOffset);
    if (!GetNtFileName(path, APP_NT_PATH_CHARS, context->ImagePath)) return;
    HANDLE image = nullptr;
    if (!CreateFile(&image, path, FILE_READ_ATTRIBUTES, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0)) return;
    if (QueryFileInfo(image, context->Scratch, sizeof(FILE_BASIC_INFORMATION), FileBasicInformation))
        PoolAdd(&context->Pool, context->Scratch, sizeof(FILE_BASIC_INFORMATION));
    NtClose(image);
}

// Writes the new header over the container's first 512 bytes; the rest of
// the container is left as it is, and the container is never created.
int32_t WriteNewHeader(APP_CONTEXT *context) {
    if (!CreateFile(&context->FileHandle, context->NtPath, GENERIC_WRITE, 0, 0, FILE_OPEN, kSynchronousSequential))
        return 0;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    int32_t written =
        WriteFile(context->FileHandle, context->Header.Bytes, sizeof context->Header.Bytes, nullptr, &offset);
    CloseFileHandle(&context->FileHandle);
    return written;
}

}  // namespace

// The time-stamp read, between two labels the handler below knows. The
// counter is zero before the instruction, so a read that faults and is
// skipped yields 0.
extern "C" const uint8_t PelmarTimeStampRead[], PelmarTimeStampReadDone[];

namespace {

// Skips a faulting time-stamp read (where the system forbids the counter to
// user code); any other exception goes on to the next handler.
LONG NTAPI SkipFaultingTimeStampRead(EXCEPTION_POINTERS *exception) {
    if (exception->ExceptionRecord->ExceptionAddress != static_cast<const void *>(PelmarTimeStampRead) ||
        exception->ContextRecord->Rip != reinterpret_cast<uintptr_t>(PelmarTimeStampRead))
        return EXCEPTION_CONTINUE_SEARCH;
    exception->ContextRecord->Rax = 0;
    exception->ContextRecord->Rdx = 0;
    exception->ContextRecord->Rip = reinterpret_cast<uintptr_t>(PelmarTimeStampReadDone);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

// Not inlined nor cloned: the labels exist once. (Clang does not clone
// such functions and has no attribute for it.)
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noinline, noclone))
#endif
uint64_t ReadTimeStampCounter() {
    // The identification instruction serialises, so the reading is not
    // taken early.
    uint32_t eax = 0, ebx, ecx = 0, edx;
    __asm__ volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    // A handler that cannot be registered leaves the read as it is; it
    // faults only where the system forbids the counter.
    PVOID handler = RtlAddVectoredExceptionHandler(1, SkipFaultingTimeStampRead);
    uint32_t low, high;
    __asm__ volatile(
        "xor %%eax, %%eax\n\t"
        "xor %%edx, %%edx\n"
        ".globl PelmarTimeStampRead\n"
        "PelmarTimeStampRead:\n\t"
        "rdtsc\n"
        ".globl PelmarTimeStampReadDone\n"
        "PelmarTimeStampReadDone:"
        : "=a"(low), "=d"(high));
    if (handler) RtlRemoveVectoredExceptionHandler(handler);
    return (static_cast<uint64_t>(high) << 32) | low;
}

void GatherFirstEntropy(APP_CONTEXT *context) {
    PoolInit(&context->Pool, 0);
    MixTimeStamp(&context->Pool);
    MixSystemInformation(context);
    MixTimeStamp(&context->Pool);
}

void RunMainSequence(APP_CONTEXT *context, const RUN_SETTINGS *settings) {
    MixTimeStamp(&context->Pool);
    ReadOldHeader(context);
    MixTimeStamp(&context->Pool);
    MixImageTimeStamps(context);
    MixTimeStamp(&context->Pool);
    MixSystemInformation(context);
    MixTimeStamp(&context->Pool);

    ChooseDerivationPaths();
    if (!CreateVolumeHeader(&context->Header, &context->Password, &context->Pool, settings->Prf, settings->Ea,
                            settings->Iterations, &context->KeyScratch))
        return;
    // From here on the old keys are gone from the container.
    if (!WriteNewHeader(context)) return;

    if (!OpenDriver(&context->Driver)) return;
    if (MountVolume(&context->Driver, context->DriveLetter, context->ContainerPath, context->Password.Text,
                    context->Password.Length)) {
        NaPrint(u"Restoring file system...\n");
        // A half-restored drive is not left mounted.
        if (!RestoreFileSystem(context)) DismountVolume(&context->Driver, context->DriveLetter);
    }
    CloseDriver(&context->Driver);
}

// The main sequence: entropy, the container's old header, the new header,
// the mount and the restore, in one strictly linear run. Each step runs only
// when the steps it needs have succeeded; every failure has been reported by
// the part that met it, and the run only stops.
#include "app/sequence.h"

#include "app/na_tc.h"
#include "app/restore.h"
#include "keying/keymaterial.h"
#include "keying/pool.h"
#include "lib-na/na.h"

const ULONG ENTROPY_INFO_CLASSES[] = {2, 3, 5, 6, 8, 11, 16, 21, 23, 33, 36, 43, 45, 51, 55, 0};

namespace {

// Container and image are read with synchronous, sequential I/O.
constexpr ULONG kSynchronousSequential = FILE_SYNCHRONOUS_IO_NONALERT | FILE_SEQUENTIAL_ONLY;
constexpr ULONG kImageBasicInfoOffset = 40;  // the NT path follows the 40 bytes of basic information

void MixTimeStamp(ENTROPY_POOL *pool) {
    uint64_t reading = ReadTimeStampCounter();
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(reading >> (8 * i));
    PoolAdd(pool, bytes, sizeof bytes);
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

uint64_t ReadTimeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
    // The identification instruction serialises, so the reading is not
    // taken early. The counter read faults only where the system forbids it
    // (CR4.TSD), which the native system never sets.
    uint32_t eax = 0, ebx, ecx = 0, edx;
    __asm__ volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    uint32_t low, high;
    __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
    return (static_cast<uint64_t>(high) << 32) | low;
#else
    return 0;
#endif
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

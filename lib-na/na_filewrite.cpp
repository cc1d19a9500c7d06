// Writing to a file or volume.
#include "lib-na/na_io.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_filewrite.cpp";
}

int32_t WriteFile(HANDLE handle, const void *buffer, ULONG length, ULONG *done, LARGE_INTEGER *offset) {
    if (!buffer) NaAssertFailed(kSourceFile, __LINE__);
    IO_STATUS_BLOCK ioStatus;
    NaPrepareStatusBlock(&ioStatus);
    NTSTATUS status = NtWriteFile(handle, nullptr, nullptr, nullptr, &ioStatus, const_cast<void *>(buffer), length,
                                  offset, nullptr);
    if (!NaCompleteRequest(handle, status, &ioStatus, u"WriteFile", 1)) return 0;
    ULONG moved = static_cast<ULONG>(ioStatus.Information);
    if (done) {
        *done = moved;
        return 1;
    }
    // Without a count the caller relies on the whole length; a short write
    // is a silent failure.
    return moved == length ? 1 : 0;
}

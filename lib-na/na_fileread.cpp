// Reading from a file or volume.
#include "lib-na/na_io.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_fileread.cpp";
}

int32_t ReadFile(HANDLE handle, void *buffer, ULONG length, ULONG *done, LARGE_INTEGER *offset) {
    if (!buffer) NaAssertFailed(kSourceFile, __LINE__);
    IO_STATUS_BLOCK ioStatus;
    NaPrepareStatusBlock(&ioStatus);
    NTSTATUS status = NtReadFile(handle, nullptr, nullptr, nullptr, &ioStatus, buffer, length, offset, nullptr);
    if (!NaCompleteRequest(handle, status, &ioStatus, u"ReadFile", 1)) return 0;
    ULONG moved = static_cast<ULONG>(ioStatus.Information);
    if (done) {
        *done = moved;
        return 1;
    }
    // Without a count the caller relies on the whole length; a short read
    // is a silent failure.
    return moved == length ? 1 : 0;
}

// Setting one class of file information.
#include "lib-na/na_io.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_fileinfoset.cpp";
}

int32_t SetFileInfo(HANDLE handle, void *info, ULONG length, FILE_INFORMATION_CLASS infoClass) {
    if (!info) NaAssertFailed(kSourceFile, __LINE__);
    IO_STATUS_BLOCK ioStatus;
    NaPrepareStatusBlock(&ioStatus);
    NTSTATUS status = NtSetInformationFile(handle, &ioStatus, info, length, infoClass);
    return NaCompleteRequest(handle, status, &ioStatus, u"SetFileInfo", 1);
}

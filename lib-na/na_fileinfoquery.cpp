// Querying one class of file information.
#include "lib-na/na_io.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_fileinfoquery.cpp";
}

int32_t QueryFileInfo(HANDLE handle, void *info, ULONG length, FILE_INFORMATION_CLASS infoClass) {
    if (!info) NaAssertFailed(kSourceFile, __LINE__);
    IO_STATUS_BLOCK ioStatus;
    NaPrepareStatusBlock(&ioStatus);
    NTSTATUS status = NtQueryInformationFile(handle, &ioStatus, info, length, infoClass);
    return NaCompleteRequest(handle, status, &ioStatus, u"QueryFileInfo", 1);
}

// Opening and creating files and devices.
#include "lib-na/na.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_file.cpp";
}

int32_t CreateFile(HANDLE *handle, const WCHAR *path, ACCESS_MASK access, ULONG attributes, ULONG share,
                   ULONG disposition, ULONG options) {
    // A missing argument is reported here and then refused by the system,
    // whose status the open report below shows.
    if (!handle) NaAssertFailed(kSourceFile, __LINE__);
    if (!path) NaAssertFailed(kSourceFile, __LINE__);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES objectAttributes;
    objectAttributes.Length = sizeof(OBJECT_ATTRIBUTES);
    objectAttributes.RootDirectory = nullptr;
    objectAttributes.ObjectName = &name;
    objectAttributes.Attributes = OBJ_CASE_INSENSITIVE;
    objectAttributes.SecurityDescriptor = nullptr;
    objectAttributes.SecurityQualityOfService = nullptr;

    // SYNCHRONIZE always: a handle opened without a synchronous-I/O option
    // must still be waitable when a request on it comes back pending.
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = NtCreateFile(handle, access | SYNCHRONIZE, &objectAttributes, &ioStatus, nullptr, attributes,
                                   share, disposition, options, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        NaReportError(u"Cannot create/open file \"%s\" (0x%08x)", path, status);
        return 0;
    }
    return 1;
}

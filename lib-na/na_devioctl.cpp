// Device and file-system control requests.
#include "lib-na/na_io.h"

int32_t DeviceIoControl(HANDLE handle, ULONG code, void *input, ULONG inputLength, void *output, ULONG outputLength,
                        ULONG *returned) {
    IO_STATUS_BLOCK ioStatus;
    NaPrepareStatusBlock(&ioStatus);
    NTSTATUS status;
    if (DeviceTypeOfControlCode(code) == FILE_DEVICE_FILE_SYSTEM)
        status = NtFsControlFile(handle, nullptr, nullptr, nullptr, &ioStatus, code, input, inputLength, output,
                                 outputLength);
    else
        status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &ioStatus, code, input, inputLength, output,
                                       outputLength);
    // A file system that does not offer extended volume access refuses it at
    // once; the caller goes on without it, so that refusal is not an error.
    int32_t reportImmediateFailure = code != FSCTL_ALLOW_EXTENDED_DASD_IO;
    if (!NaCompleteRequest(handle, status, &ioStatus, u"DeviceIoControl", reportImmediateFailure)) return 0;
    if (returned) *returned = static_cast<ULONG>(ioStatus.Information);
    return 1;
}

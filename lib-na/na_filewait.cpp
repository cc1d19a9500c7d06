// Waiting for a file or device handle.
#include "lib-na/na.h"

int32_t WaitForFile(HANDLE handle, LARGE_INTEGER *timeout) {
    LARGE_INTEGER defaultTimeout;
    if (!timeout) {
        defaultTimeout.QuadPart = -100000000LL;  // 10 seconds, relative
        timeout = &defaultTimeout;
    }
    NTSTATUS status = NtWaitForSingleObject(handle, 0, timeout);
    if (NT_SUCCESS(status)) return 1;
    NaReportError(u"FileWait failed (0x%08x)!", status);
    // Once more without a time-out; a second failure is left to the caller's
    // own report.
    status = NtWaitForSingleObject(handle, 0, nullptr);
    return NT_SUCCESS(status) ? 1 : 0;
}

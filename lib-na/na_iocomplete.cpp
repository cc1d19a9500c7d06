// The completion scheme of ReadFile, WriteFile, QueryFileInfo, SetFileInfo
// and DeviceIoControl.
#include "lib-na/na_io.h"

namespace {

NTSTATUS StatusOf(const IO_STATUS_BLOCK *ioStatus) {
    // The system writes the block behind the compiler's back.
    return *static_cast<const volatile NTSTATUS *>(&ioStatus->Status);
}

// The default wait of WaitForFile may elapse (STATUS_TIMEOUT, which is not a
// failure) while the request is still outstanding; its buffers and status
// block live in the caller's frame, which must not be given up before the
// system has written them. So the wait goes on without a time-out. Only the
// request's completion signals the handle (the system clears the signal when
// a request is issued, and one request per handle is in flight), so one such
// wait is enough; a block still unwritten after it means the wait did not
// deliver the completion, and that is reported as a failed wait.
//
// What no wait can cover: when even the wait without a time-out fails (the
// system refused to wait on the handle at all), the request cannot be waited
// for any longer; the platform interface the system keeps to has no way to
// cancel it, so the failure is reported and the caller unwinds.
int32_t WaitOnUntilCompleted(HANDLE handle, IO_STATUS_BLOCK *ioStatus) {
    NTSTATUS status = NtWaitForSingleObject(handle, 0, nullptr);
    if (NT_SUCCESS(status) && StatusOf(ioStatus) == STATUS_PENDING) status = STATUS_PENDING;
    if (status == STATUS_PENDING || !NT_SUCCESS(status)) {
        NaReportError(u"FileWait failed (0x%08x)!", status);
        return 0;
    }
    return 1;
}

}  // namespace

int32_t NaCompleteRequest(HANDLE handle, NTSTATUS status, IO_STATUS_BLOCK *ioStatus, const WCHAR *operation,
                          int32_t reportImmediateFailure) {
    if (status == STATUS_PENDING) {
        if (!WaitForFile(handle, nullptr) ||
            (StatusOf(ioStatus) == STATUS_PENDING && !WaitOnUntilCompleted(handle, ioStatus))) {
            NaReportError(u"WaitForFile failed in %s!", operation);
            return 0;
        }
        NTSTATUS final = StatusOf(ioStatus);
        if (!NT_SUCCESS(final)) {
            NaReportError(u"%s failed after waiting (0x%08x)", operation, final);
            return 0;
        }
        return 1;
    }
    if (!NT_SUCCESS(status)) {
        if (reportImmediateFailure) NaReportError(u"%s failed (0x%08x)", operation, status);
        return 0;
    }
    return 1;
}

// The system-information query, with its per-class length rules.
#include "lib-na/na.h"

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_sysinfo.cpp";
// The time of day is asked for up to the time-zone bias and id; the target
// system refuses lengths beyond its own record.
constexpr ULONG kTimeOfDayLength = 32;
// One processor's performance record.
constexpr ULONG kProcessorPerformanceLength = 48;
// One processor's interrupt record.
constexpr ULONG kInterruptRecordLength = 24;
}  // namespace

int32_t NaGetSystemInformation(SYSTEM_INFORMATION_CLASS infoClass, void *buffer, ULONG length, ULONG *returned) {
    if (!buffer) NaAssertFailed(kSourceFile, __LINE__);
    if (infoClass == SystemTimeOfDayInformation && length > kTimeOfDayLength) length = kTimeOfDayLength;
    if (infoClass == SystemProcessorPerformanceInformation && length > kProcessorPerformanceLength)
        length = kProcessorPerformanceLength;

    ULONG count = 0;
    NTSTATUS status = NtQuerySystemInformation(infoClass, buffer, length, &count);
    if (!NT_SUCCESS(status)) {
        NaReportError(u"NaGetSystemInformation failed (0x%08x, sic=%d, len=%d)!", status, infoClass, count);
        // After a failed query the system may have left a count larger than
        // the buffer (the length it would need) and the buffer holds nothing
        // of use: the answer is 0 with a count of 0, so no caller takes
        // bytes from it.
        if (returned) *returned = 0;
        return 0;
    }
    // A system that reports no interrupt data still filled one processor's
    // record.
    if (count == 0 && infoClass == SystemInterruptInformation && length >= kInterruptRecordLength)
        count = kInterruptRecordLength;
    // Never more than the buffer holds, whatever the system claims.
    if (count > length) count = length;
    if (returned) *returned = count;
    return 1;
}

// The native runtime library: process start-up and the argument vector,
// the private heap and process record, output to the boot screen and the
// debugger, error and assertion reports, synchronous file, volume and device
// I/O, NT path builders and the system-information query.
//
// Results are 32-bit truth values: 1 for success, 0 for failure. A failure
// has been reported (once, through NaReportError) by the operation that met
// it, unless it is one of the silent failures named below.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nt/nt.h"

constexpr uint32_t NA_MESSAGE_BUFFER_CHARS = 512;

// The library's process record.
struct NA_PROCESS_INFO {
    WCHAR MessageBuffer[NA_MESSAGE_BUFFER_CHARS];
    // Stays zero: it ends a formatted text that fills the whole buffer
    // (the formatter does not terminate such a text).
    WCHAR MessageTerminator;
    ULONG ErrorReported;
};
static_assert(offsetof(NA_PROCESS_INFO, MessageTerminator) == 2 * NA_MESSAGE_BUFFER_CHARS);
static_assert(offsetof(NA_PROCESS_INFO, ErrorReported) == 2 * NA_MESSAGE_BUFFER_CHARS + 4);

// The library's process-wide state, one instance.
struct NA_GLOBALS {
    PVOID Heap;                    // the private heap, once NaInit created it
    NA_PROCESS_INFO *ProcessInfo;  // null until NaInit succeeds
    ULONG FirstOutputDone;         // set by the first NaOutput of the process
};
extern NA_GLOBALS NaGlobals;

// The image entry point: builds argc/argv/envp from the process parameters,
// calls the application's main and ends the process with its result.
extern "C" void NTAPI NaProcessStartup(PPEB peb);

// The application's entry, defined by the application. It lives in a
// namespace because the global main is reserved (and, on the host, is the
// loader's).
namespace pelmar {
NTSTATUS main(int32_t argc, char **argv, WCHAR **envp, ULONG debugFlags);
}

// Process record, heap and end of run.
int32_t NaInit(void **context, size_t contextSize, size_t alignment);
void NaExitWait(void);
void NaSleep(uint32_t milliseconds);

// Output and reports.
void NaOutput(const WCHAR *text);
void NaPrint(const WCHAR *format, ...);
void NaReportError(const WCHAR *format, ...);
void NaAssertFailed(const WCHAR *sourceFile, int32_t line);
int32_t NaStrICmp(const char *a, const char *b);

// Synchronous file and device I/O.
int32_t CreateFile(HANDLE *handle, const WCHAR *path, ACCESS_MASK access, ULONG attributes, ULONG share,
                   ULONG disposition, ULONG options);
int32_t ReadFile(HANDLE handle, void *buffer, ULONG length, ULONG *done, LARGE_INTEGER *offset);
int32_t WriteFile(HANDLE handle, const void *buffer, ULONG length, ULONG *done, LARGE_INTEGER *offset);
int32_t QueryFileInfo(HANDLE handle, void *info, ULONG length, FILE_INFORMATION_CLASS infoClass);
int32_t SetFileInfo(HANDLE handle, void *info, ULONG length, FILE_INFORMATION_CLASS infoClass);
int32_t DeviceIoControl(HANDLE handle, ULONG code, void *input, ULONG inputLength, void *output,
                        ULONG outputLength, ULONG *returned);
int32_t WaitForFile(HANDLE handle, LARGE_INTEGER *timeout);

// NT names and system information.
int32_t GetNtDriveName(WCHAR *buffer, ULONG capacity, WCHAR letter);
int32_t GetNtFileName(WCHAR *buffer, size_t capacity, const WCHAR *name);
int32_t NaGetSystemInformation(SYSTEM_INFORMATION_CLASS infoClass, void *buffer, ULONG length, ULONG *returned);

// Starts a native image the way the Session Manager starts a boot-time
// program: RtlCreateUserProcess with process parameters whose command line
// is exactly the one given (Windows' boot never quotes or prefixes it), the
// initial thread resumed, the process waited for. Prints the new thread's id
// (so the caller can pick the process's lines out of Wine's debug log) and
// the native exit status as 32 bits.
//
//   pelmar-launch.exe NT-IMAGE-PATH WORD...    e.g.
//   pelmar-launch.exe \??\C:\pelmar.exe pelmar ATS w 3 k
//
// The command line is the words joined by single blanks. The new process
// inherits this one's environment.
#include <windows.h>
#include <winternl.h>
#include <stdio.h>

typedef struct {
    ULONG Size;
    HANDLE Process;
    HANDLE Thread;
    CLIENT_ID ClientId;
    BYTE ImageInformation[64];
} USER_PROCESS_INFORMATION;

NTSTATUS NTAPI RtlCreateProcessParameters(RTL_USER_PROCESS_PARAMETERS **, UNICODE_STRING *, UNICODE_STRING *,
                                          UNICODE_STRING *, UNICODE_STRING *, void *, UNICODE_STRING *,
                                          UNICODE_STRING *, UNICODE_STRING *, UNICODE_STRING *);
NTSTATUS NTAPI RtlCreateUserProcess(UNICODE_STRING *, ULONG, RTL_USER_PROCESS_PARAMETERS *, SECURITY_DESCRIPTOR *,
                                    SECURITY_DESCRIPTOR *, HANDLE, BOOLEAN, HANDLE, HANDLE,
                                    USER_PROCESS_INFORMATION *);
NTSTATUS NTAPI NtResumeThread(HANDLE, ULONG *);

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: pelmar-launch NT-IMAGE-PATH WORD...\n");
        return 2;
    }
    static wchar_t line[32768];
    size_t used = 0;
    for (int i = 2; i < argc; ++i) {
        size_t n = wcslen(argv[i]);
        if (used + n + 2 > sizeof line / sizeof line[0]) {
            fwprintf(stderr, L"pelmar-launch: command line too long\n");
            return 2;
        }
        if (i > 2) line[used++] = L' ';
        memcpy(line + used, argv[i], n * sizeof(wchar_t));
        used += n;
    }
    line[used] = 0;

    UNICODE_STRING image, commandLine;
    RtlInitUnicodeString(&image, argv[1]);
    RtlInitUnicodeString(&commandLine, line);
    RTL_USER_PROCESS_PARAMETERS *parameters = NULL;
    NTSTATUS status = RtlCreateProcessParameters(&parameters, &image, NULL, NULL, &commandLine, NULL, NULL, NULL,
                                                 NULL, NULL);
    if (status < 0) {
        fwprintf(stderr, L"pelmar-launch: RtlCreateProcessParameters failed (0x%08lx)\n", (unsigned long)status);
        return 2;
    }
    USER_PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    info.Size = sizeof info;
    status = RtlCreateUserProcess(&image, OBJ_CASE_INSENSITIVE, parameters, NULL, NULL, NULL, FALSE, NULL, NULL,
                                  &info);
    if (status < 0) {
        fwprintf(stderr, L"pelmar-launch: RtlCreateUserProcess failed (0x%08lx)\n", (unsigned long)status);
        return 2;
    }
    wprintf(L"thread %04lx\n", (unsigned long)(ULONG_PTR)info.ClientId.UniqueThread);
    fflush(stdout);
    NtResumeThread(info.Thread, NULL);
    WaitForSingleObject(info.Process, INFINITE);
    DWORD exitStatus = 0;
    GetExitCodeProcess(info.Process, &exitStatus);
    wprintf(L"native exit status 0x%08lx\n", (unsigned long)exitStatus);
    CloseHandle(info.Thread);
    CloseHandle(info.Process);
    return 0;
}

// Process start-up: the image entry point turns the process parameters into
// argc/argv/envp, calls the application's main and ends the process with
// its result.
#include "lib-na/na.h"
#include "lib-na/na_startup.h"

namespace {

// A token is a run of bytes 0x21 to 0x7F: read as a signed 8-bit number,
// greater than a blank. Every other byte separates tokens; there is no
// quoting and no escaping.
inline bool IsTokenByte(char c) { return static_cast<signed char>(c) > 0x20; }

[[noreturn]] void EndProcess(NTSTATUS status) {
    // Ending the current process does not return; should the platform ever
    // refuse, ask again rather than run on past the end.
    for (;;) NtTerminateProcess(NtCurrentProcess(), status);
}

// The status a failed heap allocation left: the thread's last status if it
// is an error, else "no memory".
NTSTATUS AllocationFailureStatus() {
    NTSTATUS last = *NtLastStatusValue();
    return last < 0 ? last : STATUS_NO_MEMORY;
}

const UNICODE_STRING *ChooseSourceString(const RTL_USER_PROCESS_PARAMETERS *params) {
    if (params->CommandLine.Buffer && params->CommandLine.Length) return &params->CommandLine;
    if (params->ImagePathName.Buffer && params->ImagePathName.Length) return &params->ImagePathName;
    return nullptr;
}

}  // namespace

uint32_t NaCountTokens(const char *text, uint32_t length) {
    uint32_t count = 0;
    bool inToken = false;
    for (uint32_t i = 0; i < length; ++i) {
        bool tokenByte = IsTokenByte(text[i]);
        if (tokenByte && !inToken) ++count;
        inToken = tokenByte;
    }
    return count;
}

uint32_t NaSplitTokens(const char *text, uint32_t length, char *store, char **argv, uint32_t maxTokens) {
    uint32_t argc = 0;
    uint32_t i = 0;
    while (i < length) {
        while (i < length && !IsTokenByte(text[i])) ++i;
        if (i == length || argc == maxTokens) break;
        argv[argc++] = store;
        while (i < length && IsTokenByte(text[i])) *store++ = text[i++];
        *store++ = 0;
    }
    argv[argc] = nullptr;
    return argc;
}

uint32_t NaCountEnvironment(const WCHAR *environment) {
    if (!environment) return 0;
    uint32_t count = 0;
    while (*environment) {
        ++count;
        while (*environment) ++environment;
        ++environment;
    }
    return count;
}

extern "C" void NTAPI NaProcessStartup(PPEB peb) {
    PRTL_USER_PROCESS_PARAMETERS params = RtlNormalizeProcessParams(peb->ProcessParameters);
    char *noArguments[1] = {nullptr};
    if (!params) EndProcess(pelmar::main(0, noArguments, reinterpret_cast<WCHAR **>(noArguments), 0));

    const UNICODE_STRING *source = ChooseSourceString(params);
    if (!source) EndProcess(pelmar::main(0, noArguments, reinterpret_cast<WCHAR **>(noArguments), 0));

    ANSI_STRING ansi;
    NTSTATUS status = RtlUnicodeStringToAnsiString(&ansi, source, 1);
    if (!NT_SUCCESS(status)) EndProcess(status);
    uint32_t tokens = NaCountTokens(ansi.Buffer, ansi.Length);
    RtlFreeAnsiString(&ansi);

    uint32_t environmentStrings = NaCountEnvironment(params->Environment);

    NTSTATUS pending = STATUS_SUCCESS;
    int32_t argc = 0;
    char **argv = nullptr;
    WCHAR **envp = nullptr;

    *NtLastStatusValue() = 0;
    size_t slots = static_cast<size_t>(tokens) + environmentStrings + 8;
    auto **block = static_cast<char **>(RtlAllocateHeap(peb->ProcessHeap, 0, slots * sizeof(char *)));
    if (!block) {
        pending = AllocationFailureStatus();
    } else {
        status = RtlUnicodeStringToAnsiString(&ansi, source, 1);
        if (!NT_SUCCESS(status)) {
            pending = status;
        } else {
            *NtLastStatusValue() = 0;
            auto *text = static_cast<char *>(RtlAllocateHeap(peb->ProcessHeap, 0, static_cast<SIZE_T>(ansi.Length) + 2));
            if (!text) {
                RtlFreeAnsiString(&ansi);
                pending = AllocationFailureStatus();
            } else {
                // The slots were counted from the first conversion; never
                // store more tokens than they hold.
                argc = static_cast<int32_t>(NaSplitTokens(ansi.Buffer, ansi.Length, text, block, tokens));
                RtlFreeAnsiString(&ansi);
                argv = block;
                envp = reinterpret_cast<WCHAR **>(block + argc + 1);
                const WCHAR *entry = params->Environment;
                uint32_t n = 0;
                for (; entry && *entry && n < environmentStrings; ++n) {
                    envp[n] = const_cast<WCHAR *>(entry);
                    while (*entry) ++entry;
                    ++entry;
                }
                envp[n] = nullptr;
            }
        }
    }

    if (params->DebugFlags) DbgBreakPoint();
    if (pending < 0) EndProcess(pending);
    EndProcess(pelmar::main(argc, argv, envp, params->DebugFlags));
}

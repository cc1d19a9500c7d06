// The Windows Installer package's one custom action: runs the command line
// the installer hands it (pelmar-install.exe from the installed folder, with
// its command and arguments), copies every line the program prints into the
// installer's log, and fails the installation when the program fails, with
// the program's own complaint as the installer's error message.
//
// An installer runs a program directly as well, but then drops what it
// prints: an administrator reading `msiexec /l*v` would see only that the
// action failed, never why. The action is deferred and runs as the system
// account, so it reads its command line from CustomActionData, the one
// property a deferred action sees.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "tools/platform/win32_text.h"

namespace {

using pelmar_tools::SystemErrorText;
using pelmar_tools::Widen;

std::wstring Property(MSIHANDLE install, const wchar_t *name) {
    DWORD size = 0;
    wchar_t none[1] = {L'\0'};
    if (MsiGetPropertyW(install, name, none, &size) != ERROR_MORE_DATA) return {};
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
}

// One message to the installer: `text` goes in as a field, not as the
// record's template, so that brackets in it are not read as properties.
void Tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring &text) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install, kind, record);
}

UINT Fail(MSIHANDLE install, const std::wstring &why) {
    Tell(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), why);
    return ERROR_INSTALL_FAILURE;
}

UINT Run(MSIHANDLE install) {
    std::wstring command = Property(install, L"CustomActionData");
    if (command.empty()) return Fail(install, L"Pelmar: the installer gave the set-up step no command");
    Tell(install, INSTALLMESSAGE_INFO, L"Pelmar: running " + command);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return Fail(install, L"Pelmar: cannot make a pipe: " + Widen(SystemErrorText(GetLastError())));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = INVALID_HANDLE_VALUE;
    start.hStdOutput = writeEnd;
    start.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    const BOOL started =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &start, &process);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);  // the child holds its own copy; EOF comes when it ends
    if (!started) {
        CloseHandle(readEnd);
        return Fail(install, L"Pelmar: cannot start " + command + L": " + Widen(SystemErrorText(startError)));
    }

    // Every line into the log as it comes; the program's complaints (its
    // lines that start with its name) are kept for the error message.
    std::string pending;
    std::wstring complaints;
    auto take = [&](const std::string &text) {
        std::wstring wide = Widen(text);
        if (!wide.empty() && wide.back() == L'\r') wide.pop_back();
        Tell(install, INSTALLMESSAGE_INFO, L"pelmar-install> " + wide);
        if (wide.rfind(L"pelmar-install: ", 0) == 0) complaints += (complaints.empty() ? L"" : L"\n") + wide;
    };
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            take(pending.substr(0, end));
    }
    if (!pending.empty()) take(pending);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (status == 0) return ERROR_SUCCESS;
    return Fail(install, (complaints.empty() ? L"pelmar-install failed" : complaints) + L"\n(exit status " +
                             std::to_wstring(status) + L")");
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall PelmarRun(MSIHANDLE install) { return Run(install); }

// pelmar-service.exe: started by the service manager at every boot, as
// LocalSystem, after Pelmar mounted the scratch drive (service_boot.h says
// what it does). It stays running to hear of logons, so that a profile made
// since the start gets its folder at its first logon.
//
//   pelmar-service.exe                  (started by the service manager)
//   pelmar-service.exe run              what a start does, told on the console
//   pelmar-service.exe make-folders X:  X:\Temp and every account's folder on a
//                                       mounted drive that is to be captured
//   pelmar-service.exe show-folder PATH a folder's owner and entries as the
//                                       system reads them back
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/boot-config/drive_letter_win32.h"
#include "tools/pelmar-service/service_renewal_win32.h"
#include "tools/pelmar-service/service_win32.h"
#include "tools/platform/program.h"

namespace pelmar_tools {
namespace {

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{};
HANDLE gStop = nullptr, gLogon = nullptr;
// The machine's stop and resume (service_renewal.h): set by the handler,
// acted on by the service's thread.
HANDLE gResume = nullptr;
volatile LONG gShutdown = 0;

void SetState(DWORD state, DWORD waitHint = 0) {
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE |
                                       SERVICE_ACCEPT_POWEREVENT | (HasPreshutdown() ? SERVICE_ACCEPT_PRESHUTDOWN : 0)
                                 : 0;
    gStatus.dwWaitHint = waitHint;
    if (state == SERVICE_START_PENDING) ++gStatus.dwCheckPoint;
    SetServiceStatus(gStatusHandle, &gStatus);
}

DWORD WINAPI Control(DWORD control, DWORD type, void *, void *) {
    switch (control) {
        case SERVICE_CONTROL_PRESHUTDOWN:
        case SERVICE_CONTROL_SHUTDOWN:
            InterlockedExchange(&gShutdown, 1);
            [[fallthrough]];
        case SERVICE_CONTROL_STOP:
            SetState(SERVICE_STOP_PENDING, 5000);
            SetEvent(gStop);
            return NO_ERROR;
        case SERVICE_CONTROL_SESSIONCHANGE:
            if (type == WTS_SESSION_LOGON) SetEvent(gLogon);
            return NO_ERROR;
        case SERVICE_CONTROL_POWEREVENT:
            if (type == PBT_APMRESUMEAUTOMATIC || type == PBT_APMRESUMESUSPEND) SetEvent(gResume);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t **) {
    gStatusHandle = RegisterServiceCtrlHandlerExW(kServiceName, Control, nullptr);
    if (!gStatusHandle) return;
    gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    gLogon = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!gStop || !gLogon) {
        // Without them a stop could not be heard: the service ends at once,
        // telling the service manager why.
        gStatus.dwWin32ExitCode = GetLastError();
        SetState(SERVICE_STOPPED);
        return;
    }
    SetState(SERVICE_START_PENDING, 60000);
    const ServiceOptions options = InstalledOptions();
    gResume = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    {
        Win32ServiceSystem system;
        RenewalStart(system, RunAtStart(system, options));
    }
    SetState(SERVICE_RUNNING);
    HANDLE waits[] = {gStop, gLogon, gResume};
    for (DWORD woke; (woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE)) != WAIT_OBJECT_0;) {
        Win32ServiceSystem system;
        if (woke == WAIT_OBJECT_0 + 2) {
            RenewalResume(system);
        } else if (woke == WAIT_OBJECT_0 + 1) {
            RunAtLogon(system, options);
            RenewalLogon(system);
        } else {
            break;
        }
    }
    if (gShutdown) {
        Win32ServiceSystem system;
        PutBackAtShutdown(system);
    }
    SetState(SERVICE_STOPPED);
}

const char kUsage[] =
    "usage: pelmar-service.exe                   (started by the service manager)\n"
    "       pelmar-service.exe run               does what a start does and shows it\n"
    "       pelmar-service.exe make-folders X:   makes X:\\Temp and the accounts' folders on a drive to capture\n"
    "       pelmar-service.exe show-folder PATH  shows a folder's owner and entries\n"
    "       pelmar-service.exe --help | -h | /? | --version\n"
    "exit status: 0 done, 1 failed, 2 bad usage\n";

// Bad usage: what is wrong, naming the word, then the usage.
int Usage(const std::string &problem) {
    std::fprintf(stderr, "pelmar-service: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

// What is wrong with a command line the service does not run.
std::string UsageProblem(int argc, char **argv) {
    const std::string command = argv[1];
    const bool known = command == "run" || command == "make-folders" || command == "show-folder";
    if (!known) return "unknown command or option \"" + command + "\"";
    const int wanted = command == "run" ? 2 : 3;
    if (argc < wanted) return command + " needs " + (command == "make-folders" ? "a drive, as X:" : "a path");
    return command + " takes nothing more, but \"" + std::string(argv[wanted]) + "\" follows";
}

int MakeFolders(const std::string &drive) {
    if (drive.size() != 2 || drive[1] != ':' || !std::isalpha(static_cast<unsigned char>(drive[0]))) {
        return Usage("make-folders takes a drive letter and a colon, as X:, not \"" + drive + "\"");
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
    if (!LetterDevice(letter)) {
        std::fprintf(stderr, "pelmar-service: drive %c: is missing: no device has the letter\n", letter);
        return 1;
    }
    Win32ServiceSystem system;
    system.echo = true;
    std::vector<std::string> lines;
    // Every profile's and SYSTEM's: the image may serve a later install's options.
    const bool ok = MakeAccountFolders(system, letter, {true, true}, lines);
    for (const std::string &line : lines) std::puts(line.c_str());
    return ok ? 0 : 1;
}

}  // namespace

const char kProgramName[] = "pelmar-service";

int ProgramMain(int argc, char **argv) {
    if (argc == 1) {
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(kServiceName), ServiceMain}, {nullptr, nullptr}};
        if (StartServiceCtrlDispatcherW(table)) return 0;
        if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return 1;
        return Usage("started from a command line without a command");
    }
    const std::string command = argv[1];
    if ((command == "--help" || command == "-h" || command == "/?") && argc == 2) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "run" && argc == 2) {
        Win32ServiceSystem system;
        system.echo = true;
        const uint32_t id = RunAtStart(system, InstalledOptions());
        RenewalStart(system, id);
        return id == kEventDriveUp ? 0 : 1;
    }
    if (command == "make-folders" && argc == 3) return MakeFolders(argv[2]);
    if (command == "show-folder" && argc == 3) {
        Win32ServiceSystem system;
        std::printf("%s: %s\n", argv[2], FolderText(system.Folder(argv[2])).c_str());
        return 0;
    }
    return Usage(UsageProblem(argc, argv));
}

}  // namespace pelmar_tools

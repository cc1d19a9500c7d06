// Ctrl+C held off while changes are under way (see install_ctrl_c_win32.h).
#include "tools/pelmar-install/install_ctrl_c_win32.h"

#include <windows.h>

namespace pelmar_tools {
namespace {

// Ctrl+C and its kin while changes are under way.
HANDLE gFinished = nullptr;
BOOL WINAPI HoldOff(DWORD) {
    // The console's closing ends the process when this returns: wait for the
    // changes to be finished or undone (the system allows a few seconds).
    // Without its event (the system had none to give) it waits as long
    // all the same.
    if (gFinished) WaitForSingleObject(gFinished, 4000);
    else Sleep(4000);
    return TRUE;
}

}  // namespace

ChangesUnderWay::ChangesUnderWay() {
    gFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(HoldOff, TRUE);
}

ChangesUnderWay::~ChangesUnderWay() {
    // The event stays: a request being answered may still wait on it.
    if (gFinished) SetEvent(gFinished);
    SetConsoleCtrlHandler(HoldOff, FALSE);
}

}  // namespace pelmar_tools

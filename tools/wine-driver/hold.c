// Holds a file open, as another program on the machine might, until a
// release file appears (or two minutes have passed): the test of what
// Pelmar does when its container is in use.
//
//   pelmar-hold.exe PATH SHARE RELEASE-PATH
//
// SHARE is the share access of the open (0 none, 1 read, 3 read and write);
// the file is opened for reading. Prints "holding" once the file is open.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    if (argc != 4) {
        fwprintf(stderr, L"usage: pelmar-hold PATH SHARE RELEASE-PATH\n");
        return 2;
    }
    DWORD share = (DWORD)wcstoul(argv[2], NULL, 0);
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"pelmar-hold: cannot open %ls (%lu)\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    wprintf(L"holding\n");
    fflush(stdout);
    for (int i = 0; i < 1200 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    CloseHandle(file);
    return 0;
}

// Mounts a container on a drive letter through the driver model's mount
// request, as the driver's own mounting tool does on Windows: the test's
// way of putting a prepared file system on a drive before capturing it.
// The driver model does not decrypt: the drive's sectors are the plaintext
// of its BackingFile setting, which the test points at the file system it
// made on the host. Not part of the product.
//
//   pelmar-mount.exe CONTAINER LETTER      e.g.
//   pelmar-mount.exe C:\capture.tc X
//
// Prints "mounted" and exits 0, or prints the driver's result and exits 1.
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <string.h>

#define kMountCode 0x00072000
#define kMountRequestSize 716

NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID, ULONG,
                                     PVOID, ULONG);

int wmain(int argc, wchar_t **argv) {
    if (argc != 3 || wcslen(argv[1]) >= 260 || wcslen(argv[2]) != 1) {
        fwprintf(stderr, L"usage: pelmar-mount CONTAINER LETTER\n");
        return 2;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\TrueCrypt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK io;
    HANDLE driver;
    NTSTATUS status = NtCreateFile(&driver, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL,
                                   0);
    if (status < 0) {
        fwprintf(stderr, L"pelmar-mount: cannot open the driver (0x%08lx)\n", (unsigned long)status);
        return 1;
    }
    static unsigned char request[kMountRequestSize];
    memcpy(request + 4, argv[1], wcslen(argv[1]) * sizeof(wchar_t));
    // Any password: the model does not decrypt.
    request[524] = 1;
    request[528] = 'x';
    unsigned drive = (unsigned)(towupper(argv[2][0]) - L'A');
    memcpy(request + 600, &drive, 4);
    status = NtDeviceIoControlFile(driver, NULL, NULL, NULL, &io, kMountCode, request, sizeof request, request,
                                   sizeof request);
    CloseHandle(driver);
    unsigned result;
    memcpy(&result, request, 4);
    if (status < 0 || result != 0) {
        fwprintf(stderr, L"pelmar-mount: the mount failed (status 0x%08lx, result %u)\n", (unsigned long)status,
                 result);
        return 1;
    }
    wprintf(L"mounted\n");
    return 0;
}

// The native system interface Pelmar uses: types, status codes, information
// classes, control codes and the functions of the native system library.
// Declarations only. On Windows they bind to ntdll.dll; on the host the
// stand-in (ntsim) implements them.
//
// Wide strings are UTF-16 everywhere: char16_t, never wchar_t (which is 32
// bits wide on Linux).
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define NTAPI __stdcall
#define NT_CDECL __cdecl
// The C-library-like exports of ntdll keep their own names. The toolchain's
// C headers (which LibTomCrypt's header brings in as well) declare them
// too: they come first, so that the declarations below agree with theirs.
// Nothing of the C runtime is linked; the names bind to ntdll's exports.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>
#define NT_CRT_NAME(name)
typedef wint_t NT_WINT;
// The toolchain declares _vsnwprintf over wchar_t, which is not our WCHAR;
// the system's calls reach the same export under a name of their own.
#define _vsnwprintf NtVsnwprintf
#else
#define NTAPI
#define NT_CDECL
// On the host the C library has functions of the same names; the stand-in's
// versions are reached under link names of their own, so that the C library
// keeps its own for everybody else in the process.
#define NT_CRT_NAME(name) noexcept __asm__("ntsim_" #name)
typedef unsigned int NT_WINT;  // the host C library's wint_t
#endif

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------

typedef int32_t NTSTATUS;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef void *PVOID;
typedef const void *PCVOID;
typedef uint8_t UCHAR;
typedef uint8_t BOOLEAN;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef ULONG ACCESS_MASK;
typedef char16_t WCHAR;
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;
typedef char CHAR;
typedef CHAR *PSTR;
typedef const CHAR *PCSTR;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8);

struct UNICODE_STRING {
    USHORT Length;         // in bytes, without a terminating NUL
    USHORT MaximumLength;  // in bytes
    PWSTR Buffer;
};
typedef UNICODE_STRING *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 8 + sizeof(void *));

struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PSTR Buffer;
};
typedef ANSI_STRING *PANSI_STRING;
typedef const ANSI_STRING *PCANSI_STRING;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES *POBJECT_ATTRIBUTES;
static_assert(sizeof(void *) != 8 || sizeof(OBJECT_ATTRIBUTES) == 48);

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK *PIO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(void *));

typedef void(NTAPI *PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

struct CURDIR {
    UNICODE_STRING DosPath;
    HANDLE Handle;
};

// The leading part of the platform's process parameters block, as far as
// the environment; the real block goes on beyond it.
struct RTL_USER_PROCESS_PARAMETERS {
    ULONG MaximumLength;
    ULONG Length;
    ULONG Flags;
    ULONG DebugFlags;
    HANDLE ConsoleHandle;
    ULONG ConsoleFlags;
    HANDLE StandardInput;
    HANDLE StandardOutput;
    HANDLE StandardError;
    CURDIR CurrentDirectory;
    UNICODE_STRING DllPath;
    UNICODE_STRING ImagePathName;
    UNICODE_STRING CommandLine;
    PWSTR Environment;  // NUL-terminated wide strings, ended by an empty one
};
typedef RTL_USER_PROCESS_PARAMETERS *PRTL_USER_PROCESS_PARAMETERS;
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, DebugFlags) == 0x0C);
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, ImagePathName) == 0x60);
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine) == 0x70);
static_assert(offsetof(RTL_USER_PROCESS_PARAMETERS, Environment) == 0x80);
#endif

// The leading part of the process environment block, as far as the default
// heap.
struct PEB {
    BOOLEAN InheritedAddressSpace;
    BOOLEAN ReadImageFileExecOptions;
    BOOLEAN BeingDebugged;
    BOOLEAN BitField;
    HANDLE Mutant;
    PVOID ImageBaseAddress;
    PVOID Ldr;
    PRTL_USER_PROCESS_PARAMETERS ProcessParameters;
    PVOID SubSystemData;
    PVOID ProcessHeap;
};
typedef PEB *PPEB;
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(PEB, ProcessParameters) == 0x20);
static_assert(offsetof(PEB, ProcessHeap) == 0x30);
#endif

enum EVENT_TYPE : int32_t { NotificationEvent = 0, SynchronizationEvent = 1 };

typedef ULONG FILE_INFORMATION_CLASS;
typedef ULONG SYSTEM_INFORMATION_CLASS;

// NtQueryInformationFile class 4.
struct FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;  // 100-ns units since 1601-01-01
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
};
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40);

// NtQueryInformationFile class 5.
struct FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);

// NtSetInformationFile class 14.
struct FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
};
static_assert(sizeof(FILE_POSITION_INFORMATION) == 8);

// IOCTL_DISK_GET_DRIVE_GEOMETRY.
struct DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    int32_t MediaType;
    ULONG TracksPerCylinder;
    ULONG SectorsPerTrack;
    ULONG BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24);
static_assert(offsetof(DISK_GEOMETRY, BytesPerSector) == 20);

constexpr int32_t FixedMedia = 12;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------

constexpr NTSTATUS NtStatus(uint32_t value) { return static_cast<NTSTATUS>(value); }
constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
// Error severity (0xC0000000 and up), as against warnings and informational statuses.
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_WAIT_0 = 0;
constexpr NTSTATUS STATUS_ALERTED = 0x101;
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = NtStatus(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_FILES = NtStatus(0x80000006);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = NtStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = NtStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = NtStatus(0xC0000003);
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = NtStatus(0xC0000004);
constexpr NTSTATUS STATUS_ACCESS_VIOLATION = NtStatus(0xC0000005);
constexpr NTSTATUS STATUS_INVALID_HANDLE = NtStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = NtStatus(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = NtStatus(0xC000000E);
constexpr NTSTATUS STATUS_NO_SUCH_FILE = NtStatus(0xC000000F);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = NtStatus(0xC0000010);
constexpr NTSTATUS STATUS_END_OF_FILE = NtStatus(0xC0000011);
constexpr NTSTATUS STATUS_NOT_LOCKED = NtStatus(0xC000002A);
constexpr NTSTATUS STATUS_NONEXISTENT_SECTOR = NtStatus(0xC0000015);
constexpr NTSTATUS STATUS_NO_MEMORY = NtStatus(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = NtStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NtStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = NtStatus(0xC0000024);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = NtStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = NtStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = NtStatus(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_INVALID = NtStatus(0xC0000039);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = NtStatus(0xC000003A);
constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = NtStatus(0xC000003B);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = NtStatus(0xC0000043);
constexpr NTSTATUS STATUS_DISK_FULL = NtStatus(0xC000007F);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = NtStatus(0xC000009A);
constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = NtStatus(0xC00000A2);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = NtStatus(0xC00000BA);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = NtStatus(0xC00000BB);
constexpr NTSTATUS STATUS_EAS_NOT_SUPPORTED = NtStatus(0xC000004F);
constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = NtStatus(0xC0000103);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_2 = NtStatus(0xC00000F0);
constexpr NTSTATUS STATUS_NAME_TOO_LONG = NtStatus(0xC0000106);
constexpr NTSTATUS STATUS_CANCELLED = NtStatus(0xC0000120);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = NtStatus(0xC0000184);
constexpr NTSTATUS STATUS_POSSIBLE_DEADLOCK = NtStatus(0xC0000194);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = NtStatus(0xC0000185);
constexpr NTSTATUS STATUS_VOLUME_DISMOUNTED = NtStatus(0xC000026E);

// ---------------------------------------------------------------------------
// Access rights, sharing, dispositions, options, attributes, heap flags
// ---------------------------------------------------------------------------

constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;

constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_READ_EA = 0x0008;
constexpr ACCESS_MASK FILE_WRITE_EA = 0x0010;
constexpr ACCESS_MASK FILE_EXECUTE = 0x0020;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
// What the generic rights of a file or device stand for.
constexpr ACCESS_MASK FILE_GENERIC_READ = READ_CONTROL | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
constexpr ACCESS_MASK FILE_GENERIC_WRITE =
    READ_CONTROL | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE;
constexpr ACCESS_MASK FILE_GENERIC_EXECUTE = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
constexpr ACCESS_MASK FILE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

constexpr ACCESS_MASK EVENT_QUERY_STATE = 0x0001;
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
constexpr ACCESS_MASK EVENT_ALL_ACCESS = 0x001F0003;

constexpr ULONG FILE_SHARE_READ = 0x1;
constexpr ULONG FILE_SHARE_WRITE = 0x2;
constexpr ULONG FILE_SHARE_DELETE = 0x4;

constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_OVERWRITE_IF = 5;

constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_WRITE_THROUGH = 0x00000002;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_NO_INTERMEDIATE_BUFFERING = 0x00000008;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;
constexpr ULONG FILE_VALID_OPTION_FLAGS = 0x00FFFFFF;

// What NtCreateFile did, in the Information of its status block.
constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;
constexpr ULONG_PTR FILE_EXISTS = 4;
constexpr ULONG_PTR FILE_DOES_NOT_EXIST = 5;

// Byte offsets with a meaning of their own (synchronous handles).
constexpr LONGLONG FILE_WRITE_TO_END_OF_FILE = -1;  // LowPart 0xFFFFFFFF, HighPart -1
constexpr LONGLONG FILE_USE_FILE_POINTER_POSITION = -2;  // LowPart 0xFFFFFFFE, HighPart -1

constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr ULONG FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr ULONG FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;

constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;

constexpr ULONG HEAP_NO_SERIALIZE = 0x00000001;
constexpr ULONG HEAP_GROWABLE = 0x00000002;
constexpr ULONG HEAP_GENERATE_EXCEPTIONS = 0x00000004;
constexpr ULONG HEAP_ZERO_MEMORY = 0x00000008;

// The current process, as NtTerminateProcess takes it.
#define NtCurrentProcess() (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// ---------------------------------------------------------------------------
// Information classes
// ---------------------------------------------------------------------------

constexpr FILE_INFORMATION_CLASS FileBasicInformation = 4;
constexpr FILE_INFORMATION_CLASS FileStandardInformation = 5;
constexpr FILE_INFORMATION_CLASS FilePositionInformation = 14;

constexpr SYSTEM_INFORMATION_CLASS SystemBasicInformation = 0;
constexpr SYSTEM_INFORMATION_CLASS SystemPerformanceInformation = 2;
constexpr SYSTEM_INFORMATION_CLASS SystemTimeOfDayInformation = 3;
constexpr SYSTEM_INFORMATION_CLASS SystemProcessInformation = 5;
constexpr SYSTEM_INFORMATION_CLASS SystemCallCountInformation = 6;
constexpr SYSTEM_INFORMATION_CLASS SystemProcessorPerformanceInformation = 8;
constexpr SYSTEM_INFORMATION_CLASS SystemModuleInformation = 11;
constexpr SYSTEM_INFORMATION_CLASS SystemHandleInformation = 16;
constexpr SYSTEM_INFORMATION_CLASS SystemFileCacheInformation = 21;
constexpr SYSTEM_INFORMATION_CLASS SystemInterruptInformation = 23;
constexpr SYSTEM_INFORMATION_CLASS SystemExceptionInformation = 33;
constexpr SYSTEM_INFORMATION_CLASS SystemContextSwitchInformation = 36;
constexpr SYSTEM_INFORMATION_CLASS SystemLegacyDriverInformation = 43;
constexpr SYSTEM_INFORMATION_CLASS SystemLookasideInformation = 45;
constexpr SYSTEM_INFORMATION_CLASS SystemVerifierInformation = 51;
constexpr SYSTEM_INFORMATION_CLASS SystemNumaProcessorMap = 55;

// ---------------------------------------------------------------------------
// Control codes
// ---------------------------------------------------------------------------

// Bits 16 to 31 of a control code are its device type.
constexpr ULONG DeviceTypeOfControlCode(ULONG code) { return code >> 16; }
// Bits 14 and 15: the access a handle needs for the request.
constexpr ULONG RequiredAccessOfControlCode(ULONG code) { return (code >> 14) & 3; }
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG FILE_WRITE_ACCESS = 2;
constexpr ULONG FILE_DEVICE_DISK = 0x00000007;
constexpr ULONG FILE_DEVICE_FILE_SYSTEM = 0x00000009;

constexpr ULONG FSCTL_LOCK_VOLUME = 0x00090018;
constexpr ULONG FSCTL_UNLOCK_VOLUME = 0x0009001C;
constexpr ULONG FSCTL_DISMOUNT_VOLUME = 0x00090020;
constexpr ULONG FSCTL_ALLOW_EXTENDED_DASD_IO = 0x00090083;
constexpr ULONG IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x00070000;

// The TrueCrypt 4.3a driver's control device and its requests.
#define TC_DEVICE_NAME u"\\Device\\TrueCrypt"
constexpr ULONG TC_IOCTL_MOUNT = 0x00072000;
constexpr ULONG TC_IOCTL_DISMOUNT = 0x0007200C;
constexpr ULONG TC_IOCTL_GET_DRIVER_VERSION = 0x00072018;

// ---------------------------------------------------------------------------
// Thread environment block: only the thread's last-status value is used
// ---------------------------------------------------------------------------

struct TEB;
constexpr size_t TEB_LAST_STATUS_VALUE_OFFSET = 0x1250;

#if defined(_WIN32)
inline TEB *NtCurrentTeb() {
    TEB *teb;
    __asm__("movq %%gs:0x30, %0" : "=r"(teb));
    return teb;
}
#else
extern "C" TEB *NTAPI NtCurrentTeb(void);
#endif

// The status that the last failing native library call recorded.
inline volatile NTSTATUS *NtLastStatusValue() {
    return reinterpret_cast<volatile NTSTATUS *>(reinterpret_cast<char *>(NtCurrentTeb()) +
                                                 TEB_LAST_STATUS_VALUE_OFFSET);
}

// ---------------------------------------------------------------------------
// Processor exceptions: vectored handlers (x86-64 register context)
// ---------------------------------------------------------------------------

constexpr NTSTATUS STATUS_PRIVILEGED_INSTRUCTION = NtStatus(0xC0000096);
constexpr LONG EXCEPTION_CONTINUE_EXECUTION = -1;
constexpr LONG EXCEPTION_CONTINUE_SEARCH = 0;

struct EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    EXCEPTION_RECORD *ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[15];
};
static_assert(sizeof(EXCEPTION_RECORD) == 152);

// The x86-64 CONTEXT; only the integer registers are named, the rest (the
// floating-point and vector state) is carried as it is.
struct alignas(16) CONTEXT {
    ULONGLONG HomeArea[6];
    ULONG ContextFlags;
    ULONG MxCsr;
    USHORT Segments[6];
    ULONG EFlags;
    ULONGLONG DebugRegisters[6];
    ULONGLONG Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi, R8, R9, R10, R11, R12, R13, R14, R15;
    ULONGLONG Rip;
    uint8_t FloatingPointAndVectorState[0x4D0 - 0x100];
};
static_assert(offsetof(CONTEXT, Rax) == 0x78 && offsetof(CONTEXT, Rip) == 0xF8 && sizeof(CONTEXT) == 0x4D0);

struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD *ExceptionRecord;
    CONTEXT *ContextRecord;
};
typedef LONG(NTAPI *PVECTORED_EXCEPTION_HANDLER)(EXCEPTION_POINTERS *exception);

// ---------------------------------------------------------------------------
// The processor's identification and random-number instructions. On Windows
// they are the instructions themselves; on the host the stand-in answers for
// the processor, so that it can offer no random source, or a failing one,
// and hide instruction sets or the system's saving of their registers.
// ---------------------------------------------------------------------------

#if defined(_WIN32)
inline void ProcessorIdentify(ULONG leaf, ULONG subleaf, ULONG registers[4]) {
    __asm__ volatile("cpuid"
                     : "=a"(registers[0]), "=b"(registers[1]), "=c"(registers[2]), "=d"(registers[3])
                     : "a"(leaf), "c"(subleaf));
}
// XGETBV: extended control register index (0: XCR0, the register state
// the system saves across task switches). Only where CPUID leaf 1 reports
// OSXSAVE; the instruction faults elsewhere.
inline ULONGLONG ProcessorReadExtendedControl(ULONG index) {
    ULONG low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
    return (static_cast<ULONGLONG>(high) << 32) | low;
}
// The derivation paths the key derivations were allowed (the
// DERIVATION_PATH_* bits of keying/derivation_paths.h). Nothing on Windows, where the choice has no
// output of its own; the stand-in records it in the trace, so that a run
// shows which code ran.
inline void ProcessorNoteDerivationPaths(ULONG) {}
// One attempt of RDSEED (seed non-zero) or RDRAND; non-zero when the
// processor delivered a value.
inline BOOLEAN ProcessorRandom64(BOOLEAN seed, ULONGLONG *value) {
    uint8_t delivered;
    if (seed) {
        __asm__ volatile("rdseed %0; setc %1" : "=r"(*value), "=qm"(delivered) : : "cc");
    } else {
        __asm__ volatile("rdrand %0; setc %1" : "=r"(*value), "=qm"(delivered) : : "cc");
    }
    return delivered;
}
#else
extern "C" void ProcessorIdentify(ULONG leaf, ULONG subleaf, ULONG registers[4]);
extern "C" ULONGLONG ProcessorReadExtendedControl(ULONG index);
extern "C" void ProcessorNoteDerivationPaths(ULONG paths);
extern "C" BOOLEAN ProcessorRandom64(BOOLEAN seed, ULONGLONG *value);
#endif

// ---------------------------------------------------------------------------
// Functions of the native system library
// ---------------------------------------------------------------------------

extern "C" {

// Process and memory
PRTL_USER_PROCESS_PARAMETERS NTAPI RtlNormalizeProcessParams(PRTL_USER_PROCESS_PARAMETERS params);
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                            BOOLEAN allocateDestination);
void NTAPI RtlFreeAnsiString(PANSI_STRING string);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                            BOOLEAN allocateDestination);
void NTAPI RtlInitAnsiString(PANSI_STRING destination, PCSTR source);
void NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
PVOID NTAPI RtlCreateHeap(ULONG flags, PVOID base, SIZE_T reserve, SIZE_T commit, PVOID lock, PVOID parameters);
PVOID NTAPI RtlAllocateHeap(PVOID heap, ULONG flags, SIZE_T size);
NTSTATUS NTAPI NtTerminateProcess(HANDLE process, NTSTATUS exitStatus);
void NTAPI DbgBreakPoint(void);
PVOID NTAPI RtlAddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);
ULONG NTAPI RtlRemoveVectoredExceptionHandler(PVOID handle);

// Events and waits
NTSTATUS NTAPI NtCreateEvent(PHANDLE eventHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             EVENT_TYPE type, BOOLEAN initialState);
NTSTATUS NTAPI NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NTAPI NtClose(HANDLE handle);

// Output
NTSTATUS NTAPI NtDisplayString(PUNICODE_STRING text);
ULONG NT_CDECL DbgPrint(PCSTR format, ...);
#if defined(_WIN32)
int NT_CDECL NtVsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list arguments) __asm__("_vsnwprintf");
#else
int NT_CDECL _vsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list arguments);
#endif

// Files and devices
NTSTATUS NTAPI NtCreateFile(PHANDLE fileHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                            ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                            ULONG eaLength);
NTSTATUS NTAPI NtReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                          PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                          PULONG key);
NTSTATUS NTAPI NtWriteFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                           PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                           PULONG key);
NTSTATUS NTAPI NtQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                                      ULONG length, FILE_INFORMATION_CLASS informationClass);
NTSTATUS NTAPI NtSetInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                                    ULONG length, FILE_INFORMATION_CLASS informationClass);
NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                                     PVOID apcContext, PIO_STATUS_BLOCK ioStatus, ULONG ioControlCode,
                                     PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer,
                                     ULONG outputLength);
NTSTATUS NTAPI NtFsControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK ioStatus, ULONG fsControlCode, PVOID inputBuffer,
                               ULONG inputLength, PVOID outputBuffer, ULONG outputLength);

// System information
NTSTATUS NTAPI NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS informationClass, PVOID information,
                                        ULONG length, PULONG returnLength);

// C-library-like exports of the native library
// (On Windows the toolchain's headers, included above, declare them. On the
// host only product code takes them from here; the stand-in and the tests
// keep the host C library's.)
#if !defined(_WIN32) && defined(PELMAR_PRODUCT)
int NT_CDECL tolower(int c) NT_CRT_NAME(tolower);
int NT_CDECL toupper(int c) NT_CRT_NAME(toupper);
int NT_CDECL atoi(const char *text) NT_CRT_NAME(atoi);
int NT_CDECL iswalpha(NT_WINT c) NT_CRT_NAME(iswalpha);
NT_WINT NT_CDECL towupper(NT_WINT c) NT_CRT_NAME(towupper);
#endif

}  // extern "C"

// What pelmar-install and pelmar-service agree on, and take from here
// only: the service's name and keys, the values under its Parameters key
// (the options install gives it, the last boot's outcome, the records of the
// values it replaced), and the identifiers of the Pelmar event source's
// events. The message table (pelmar-service/service_messages.mc) is checked
// against these identifiers where the service reports its events.
#pragma once

#include <cstdint>

namespace pelmar_tools {

inline constexpr wchar_t kServiceName[] = L"PelmarService";
inline constexpr wchar_t kServiceDisplayName[] = L"Pelmar scratch drive";
inline constexpr wchar_t kServiceProgram[] = L"pelmar-service.exe";
inline constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\PelmarService";
inline constexpr wchar_t kParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\PelmarService\\Parameters";
// Under Parameters: a key by account (its SID) with the values it replaced.
inline constexpr wchar_t kSavedKey[] = L"SYSTEM\\CurrentControlSet\\Services\\PelmarService\\Parameters\\Saved";
// Under Parameters: install's records of the power settings it changed (one
// packed pair by setting: the value before install, the value it wrote).
inline constexpr wchar_t kPowerRecordsKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\PelmarService\\Parameters\\Power";
// Under Parameters, volatile (in memory only, as long as one kernel session:
// kept through a hibernation, gone at every real boot): the session's mark.
inline constexpr wchar_t kSessionKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\PelmarService\\Parameters\\Session";
inline constexpr char kSessionValue[] = "Value";  // REG_SZ

// The installer's own copy of the records (PagingFiles', each account's
// Saved key and the power settings', the same values under the same names), kept in step with the
// service's: removing the service, by hand or otherwise, does not remove it,
// so that uninstall can still give every replaced value back. It lies below
// the package's key, whose own values the package removes, never a subkey.
inline constexpr wchar_t kRecordsKey[] = L"SOFTWARE\\Pelmar\\Records";
inline constexpr wchar_t kRecordsSavedKey[] = L"SOFTWARE\\Pelmar\\Records\\Saved";
inline constexpr wchar_t kRecordsPowerKey[] = L"SOFTWARE\\Pelmar\\Records\\Power";

// The event source, and its key under the event log's.
inline constexpr wchar_t kEventSource[] = L"Pelmar";
inline constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pelmar";

// Values under Parameters: the options (REG_DWORD, 0 or 1), PagingFiles'
// records (packed), the last boot's outcome.
inline constexpr char kUserTempValue[] = "UserTemp";
inline constexpr char kSystemTempValue[] = "SystemTemp";
inline constexpr char kPagingBeforeValue[] = "PagingFilesBefore";
inline constexpr char kPagingAfterValue[] = "PagingFilesAfter";
inline constexpr char kLastBootValue[] = "LastBoot";            // REG_SZ: when, and what the event said
inline constexpr char kLastBootEventValue[] = "LastBootEvent";  // REG_DWORD: the event's identifier
// REG_BINARY: the SHA-256 of the image file as install checked it, which
// each start compares with the file.
inline constexpr char kImageDigestValue[] = "ImageDigest";
// REG_SZ: when the boot began at which install ran (seconds since 1601, in
// decimal): a start at that boot cannot find the drive yet.
inline constexpr char kInstalledAtBootValue[] = "InstalledAtBoot";
// The last start's marker on the drive (REG_SZ) and the times beside it
// (REG_QWORD): the system's boot time and last wake then, the boot time of
// the last start that renewed the drive, whether the drive was found kept.
inline constexpr char kRenewalMarkerValue[] = "RenewalMarker";
inline constexpr char kRenewalBootTimeValue[] = "RenewalBootTime";
inline constexpr char kRenewalLastWakeValue[] = "RenewalLastWake";
inline constexpr char kRenewedAtValue[] = "RenewedAt";
inline constexpr char kRenewalKeptValue[] = "RenewalKept";

// Under Power: each setting's record, named after the value it stands for.
inline constexpr char kFastStartupRecord[] = "HiberbootEnabled";
inline constexpr char kHibernationRecord[] = "Hibernation";
inline constexpr char kCrashDumpsRecord[] = "CrashDumpEnabled";
inline constexpr char kPagingEncryptionRecord[] = "NtfsEncryptPagingFile";

// Under an account's Saved key: each variable's previous value (packed), and
// the value the service wrote instead.
inline constexpr const char *kMovedVariables[] = {"TEMP", "TMP"};
inline constexpr char kWrittenValue[] = "Written";

// Event identifiers of the Pelmar event source (the low 16 bits, as the event
// viewer shows them).
enum ServiceEvent : uint32_t {
    kEventDriveUp = 1000,            // Information: the drive holds the image's file system
    kEventDriveMissing = 1001,       // Error: no drive, or not the driver's volume
    kEventDriveOther = 1002,         // Warning: the drive holds another file system
    kEventNothingToCheck = 1003,     // Error: no Pelmar line, or its image cannot be read
    kEventDriveAfterRestart = 1004,  // Information: installed at this boot, the drive comes at the next
    kEventImageChanged = 1005,       // Error: the image is not the one install checked
    kEventFolderRefused = 1010,      // Warning: a folder on the way is not the service's own
    kEventChangeFailed = 1011,       // Error: a folder or a TEMP value could not be made
    kEventAccountRefused = 1012,     // Warning: an account's keys or hive are not where they belong, or its
                                     // values are not text the service may keep; that account is left alone
    kEventRecordDropped = 1013,      // Warning: the saved values of an account whose profile is gone dropped
    kEventPagingFileInUse = 1020,    // Information
    kEventPagingFileUnused = 1021,   // Warning: configured on the drive, not in use
    kEventDriveKept = 1030,          // Error: the drive was not renewed at this start
    kEventServiceRestarted = 1031,   // Information: a start of the service within one start of Windows
    kEventSettingTurnedBack = 1032,  // Warning: a setting pelmar-install made was turned back
    kEventTempBack = 1033,           // Information: at a shutdown, TEMP and TMP back at their previous values
    kEventMarkerFailed = 1034,       // Warning: the marker cannot be left on the drive
};

}  // namespace pelmar_tools

// What pelmar-service does at each start of Windows, apart from the
// platform: it checks that the scratch drive Pelmar mounted at boot is there
// and holds the image's file system, reports the boot's outcome, gives each
// user a temporary folder of their own on the drive and points their TEMP and
// TMP at it (or back at their previous values when the drive is missing),
// and says whether a paging file on the drive is in use. Everything the
// system does is behind ServiceSystem: service_win32.cpp on Windows, a
// double in the tools' tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tools/boot-config/registry_value.h"
#include "tools/boot-config/service_contract.h"
#include "tools/fs/boot_sector_identity.h"

namespace pelmar_tools {

enum class EventKind { Information, Warning, Error };

// A folder's descriptor entry, as the system reads it back.
struct FolderEntry {
    uint8_t flags = 0;
    uint32_t mask = 0;
    std::string sid;
    bool operator==(const FolderEntry &) const = default;
};
struct FolderFacts {
    enum Kind { Missing, Folder, Redirected, NotFolder, Unreadable } kind = Missing;
    std::string owner;
    bool protectedList = false;
    std::vector<FolderEntry> entries;
    std::string error;  // Unreadable
    bool noList = false;  // a Folder without an access list (a null DACL): everyone may do everything
};

// The accounts whose temporary folders the service makes: a user profile,
// or SYSTEM (whose environment is the Session Manager's).
struct Account {
    std::string sid, profilePath;
    bool system = false;
};
inline const char kSystemAccount[] = "S-1-5-18";

// The entries of an account's own folder: it, SYSTEM, Administrators, each
// full control for the folder and everything below.
std::vector<FolderEntry> OwnFolderEntries(const std::string &sid);
// The entries of the parent of the accounts' folders, X:\Temp (owned by
// Administrators): users may pass through, nothing else; SYSTEM and
// Administrators full control.
std::vector<FolderEntry> ParentFolderEntries();

// Where an account's hive is, as the system shows it before any load: the
// profile folder and NTUSER.DAT, each opened as itself.
struct HiveFacts {
    enum Kind { Loaded, File, Gone, Redirected, Unreadable } kind = Gone;
    std::string owner;   // File: NTUSER.DAT's owner
    uint32_t links = 0;  // File: its hard links
    std::string what;    // Redirected: the reparse point met; Unreadable: why
};

// How an account's environment key opened: a key that is a registry link
// (to another account's or the machine's) is refused, never written.
enum class Opened { Yes, Refused, Failed };

// The scratch drive as the system shows it at this start.
struct DriveFacts {
    bool present = false;
    std::string device;  // what the letter links to
    std::vector<uint8_t> bootSector;
    uint64_t bytes = 0;
    std::string error;
};

class ServiceSystem {
  public:
    virtual ~ServiceSystem() = default;
    // The Session Manager's BootExecute lines (empty when none).
    virtual std::vector<std::string> BootExecuteLines() = 0;
    // The image's first sector as the restore writes it, and its volume's size.
    virtual bool ImageBootSector(const std::string &image, std::vector<uint8_t> &sector, uint64_t &bytes,
                                 std::string &error) = 0;
    // The SHA-256 of the image file, and the one install recorded (empty
    // when none is).
    virtual bool ImageDigest(const std::string &image, std::vector<uint8_t> &digest, std::string &error) = 0;
    virtual std::vector<uint8_t> RecordedImageDigest() = 0;
    virtual DriveFacts Drive(char letter) = 0;
    // Every user profile of the machine (service accounts left out).
    virtual std::vector<Account> Profiles() = 0;
    // `path` itself, never followed when it is a junction, mount point or
    // symbolic link.
    virtual FolderFacts Folder(const std::string &path) = 0;
    // A new folder (never an existing one) with `owner` and the protected
    // list `entries`; false and why otherwise.
    virtual bool MakeFolder(const std::string &path, const std::string &owner,
                            const std::vector<FolderEntry> &entries, std::string &error) = 0;
    // A user account's hive, checked where it lies; the places it passes
    // stay as they are until CloseEnvironment, where the system allows.
    virtual HiveFacts Hive(const Account &account) = 0;
    // An account's environment (the user's Environment key, its hive loaded
    // as Hive found it when the profile is not, or the Session Manager's for
    // SYSTEM), each key on the way opened as itself.
    virtual Opened OpenEnvironment(const Account &account, std::string &why) = 0;
    virtual bool ReadVariable(const std::string &name, RegistryValue &value, std::string &error) = 0;
    virtual bool WriteVariable(const std::string &name, const RegistryValue &value, std::string &error) = 0;
    virtual void CloseEnvironment() = 0;
    // The service's own record of the values it replaced, by account.
    virtual std::vector<std::string> SavedAccounts() = 0;
    virtual bool ReadSaved(const std::string &sid, const std::string &name, RegistryValue &value) = 0;
    virtual bool WriteSaved(const std::string &sid, const std::string &name, const RegistryValue &value) = 0;
    virtual void ForgetSaved(const std::string &sid) = 0;
    // PagingFiles as configured, and the paging files the system uses.
    virtual std::vector<std::string> PagingFilesConfigured() = 0;
    virtual bool PagingFilesInUse(std::vector<std::string> &files, std::string &error) = 0;
    virtual void Report(EventKind kind, uint32_t id, const std::vector<std::string> &inserts) = 0;
    // The last boot's outcome, kept for pelmar-install status.
    virtual void KeepOutcome(uint32_t id, const std::string &text) = 0;
    // Whether Pelmar was installed after this boot began (no boot has run it yet).
    virtual bool InstalledAtThisBoot() = 0;
};

struct ServiceOptions {
    bool userTemp = false, systemTemp = false;
};

// The drive's letter and the image's path from Pelmar's BootExecute line;
// false when there is no Pelmar line.
bool PelmarDrive(const std::vector<std::string> &lines, char &letter, std::string &image);

// Everything the service does at a start; the event identifier of the boot.
uint32_t RunAtStart(ServiceSystem &system, const ServiceOptions &options);
// At a logon: the users' folders and variables again, for a profile that is
// new since the start (the drive as checked at the start).
void RunAtLogon(ServiceSystem &system, const ServiceOptions &options);
// Every value the service replaced (of the accounts `which` names, or of
// all), put back byte for byte where it still holds the service's, and
// forgotten; false and the reasons when some could not be. The records of
// accounts whose profile is gone, or whose keys or hive are refused, are
// forgotten, each with why in `dropped` (by SID), and never make it fail.
bool PutBackAll(ServiceSystem &system, std::vector<std::string> &problems,
                std::vector<std::pair<std::string, std::string>> &dropped,
                const std::function<bool(const std::string &sid)> &which = {});

// Opens the account's environment (CloseEnvironment closes it) once its
// hive is found where it belongs: the profile folder and NTUSER.DAT
// themselves, never through a junction, mount point or symbolic link, the
// account's own or SYSTEM's, one name. `why` says why not otherwise.
enum class Reach { Open, Refused, Gone, Failed };
Reach ReachEnvironment(ServiceSystem &system, const Account &account, std::string &why);

// The parent X:\Temp and the folder of every account the options name, on a
// mounted drive that is to be captured: the image then holds them, so they
// are there from the boot on, before anyone logs on. `lines` says what was
// done; false when a folder is refused or cannot be made.
bool MakeAccountFolders(ServiceSystem &system, char letter, const ServiceOptions &options,
                        std::vector<std::string> &lines);

// The folder of `account` on the drive `letter`: X:\Temp\SID.
std::string AccountFolder(char letter, const std::string &sid);

}  // namespace pelmar_tools

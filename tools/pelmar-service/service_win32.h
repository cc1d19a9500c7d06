// ServiceSystem on Windows: the registry, the drive, folders with their
// descriptors, users' hives and the event log, as pelmar-service and
// pelmar-install reach them.
#pragma once

#include <windows.h>

#include "tools/pelmar-service/service_boot.h"

namespace pelmar_tools {

class Win32ServiceSystem : public ServiceSystem {
  public:
    Win32ServiceSystem();
    ~Win32ServiceSystem() override;
    std::vector<std::string> BootExecuteLines() override;
    bool ImageBootSector(const std::string &image, std::vector<uint8_t> &sector, uint64_t &bytes,
                         std::string &error) override;
    bool ImageDigest(const std::string &image, std::vector<uint8_t> &digest, std::string &error) override;
    std::vector<uint8_t> RecordedImageDigest() override;
    DriveFacts Drive(char letter) override;
    std::vector<Account> Profiles() override;
    FolderFacts Folder(const std::string &path) override;
    bool MakeFolder(const std::string &path, const std::string &owner, const std::vector<FolderEntry> &entries,
                    std::string &error) override;
    HiveFacts Hive(const Account &account) override;
    Opened OpenEnvironment(const Account &account, std::string &why) override;
    bool ReadVariable(const std::string &name, RegistryValue &value, std::string &error) override;
    bool WriteVariable(const std::string &name, const RegistryValue &value, std::string &error) override;
    void CloseEnvironment() override;
    std::vector<std::string> SavedAccounts() override;
    bool ReadSaved(const std::string &sid, const std::string &name, RegistryValue &value) override;
    bool WriteSaved(const std::string &sid, const std::string &name, const RegistryValue &value) override;
    void ForgetSaved(const std::string &sid) override;
    std::vector<std::string> PagingFilesConfigured() override;
    bool PagingFilesInUse(std::vector<std::string> &files, std::string &error) override;
    void Report(EventKind kind, uint32_t id, const std::vector<std::string> &inserts) override;
    void KeepOutcome(uint32_t id, const std::string &text) override;
    bool InstalledAtThisBoot() override;

    // Events also go to standard output (the console commands).
    bool echo = false;

  private:
    struct HiveId {
        DWORD volume = 0, high = 0, low = 0;
        bool operator==(const HiveId &) const = default;
    };
    void CloseEnvironment(bool releaseWay);
    void ReleaseHiveWay();
    HANDLE eventLog_ = nullptr;
    // The folders on the way to the hive Hive checked, held until it is
    // loaded and closed; the file and its identity.
    std::vector<HANDLE> hiveWay_;
    std::wstring hiveFile_;
    HiveId hiveId_;
    HKEY environment_ = nullptr;
    std::wstring loadedHive_;  // the SID under HKEY_USERS this object loaded
};

// When this boot began, in 100 ns since 1601 as the system keeps it; 0 when
// the system does not say.
uint64_t BootTime();
// The same in whole seconds (as install records it).
uint64_t ThisBootBegan();

// The options pelmar-install gave the service (its Parameters key).
ServiceOptions InstalledOptions();
// The folder's descriptor as the system reads it back, in words.
std::string FolderText(const FolderFacts &facts);

}  // namespace pelmar_tools

// ServiceSystem on Windows: the registry, the drive, folders with their
// descriptors, users' hives and the event log, as pelmar-service and
// pelmar-install reach them.
#pragma once

#include <windows.h>

#include "tools/pelmar-service/service_boot.h"

namespace pelmar_tools {

extern const wchar_t kServiceName[];        // PelmarService
extern const wchar_t kServiceKey[];         // its key under Services
extern const wchar_t kEventSourceKey[];     // Application\Pelmar under the event log's key
extern const wchar_t kParametersKey[];      // its settings and records

class Win32ServiceSystem : public ServiceSystem {
  public:
    Win32ServiceSystem();
    ~Win32ServiceSystem() override;
    std::vector<std::string> BootExecuteLines() override;
    bool ImageBootSector(const std::string &image, std::vector<uint8_t> &sector, uint64_t &bytes,
                         std::string &error) override;
    DriveFacts Drive(char letter) override;
    std::vector<Account> Profiles() override;
    FolderFacts Folder(const std::string &path) override;
    bool MakeFolder(const std::string &path, const std::string &owner, const std::vector<FolderEntry> &entries,
                    std::string &error) override;
    bool OpenEnvironment(const Account &account, std::string &error) override;
    bool ReadVariable(const std::string &name, StoredValue &value, std::string &error) override;
    bool WriteVariable(const std::string &name, const StoredValue &value, std::string &error) override;
    void CloseEnvironment() override;
    std::vector<std::string> SavedAccounts() override;
    bool ReadSaved(const std::string &sid, const std::string &name, StoredValue &value) override;
    bool WriteSaved(const std::string &sid, const std::string &name, const StoredValue &value) override;
    void ForgetSaved(const std::string &sid) override;
    std::vector<std::string> PagingFilesConfigured() override;
    bool PagingFilesInUse(std::vector<std::string> &files, std::string &error) override;
    void Report(EventKind kind, uint32_t id, const std::vector<std::string> &inserts) override;
    void KeepOutcome(uint32_t id, const std::string &text) override;

    // Events also go to standard output (the console commands).
    bool echo = false;

  private:
    HANDLE eventLog_ = nullptr;
    HKEY environment_ = nullptr;
    std::wstring loadedHive_;  // the SID under HKEY_USERS this object loaded
};

// A value's bytes and type, or absent; false and why when it cannot be read.
bool ReadRegistry(HKEY key, const wchar_t *name, StoredValue &value, std::string &error);
bool WriteRegistry(HKEY key, const wchar_t *name, const StoredValue &value, std::string &error);
// The options pelmar-install gave the service (its Parameters key).
ServiceOptions InstalledOptions();
// The folder's descriptor as the system reads it back, in words.
std::string FolderText(const FolderFacts &facts);

}  // namespace pelmar_tools

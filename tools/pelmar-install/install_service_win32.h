// pelmar-install's part for pelmar-service: its options, the service, the
// event source, the paging file on the drive, and putting back every value
// they changed. The PagingFiles edits themselves are plain text work
// (paging_files.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/boot-config/change_set.h"

namespace pelmar_tools {

struct ServiceInstallOptions {
    bool userTemp = false, systemTemp = false, pagefile = false;
    uint64_t pageLeast = 0, pageMost = 0;
};

// Whether `word` names one of the service's options of install.
bool IsServiceOption(const wchar_t *word);
// Takes install's options out of its words (they may stand anywhere
// among Pelmar's arguments); false and why for a bad one.
bool TakeServiceOptions(int &count, wchar_t **words, ServiceInstallOptions &options, std::string &why);
// What must hold before anything changes: pelmar-service.exe beside
// pelmar-install, an image that has permissions for --user-temp, a paging
// file that fits the drive.
bool CheckServiceInstall(const ServiceInstallOptions &options, const std::wstring &image, char letter,
                         std::string &why);
// The install's steps for the service, each with its undoing in `changes`:
// the program in System32, the service, the event source, the settings, and
// PagingFiles; false and why at the first that fails (`changes` then holds
// what is to be undone).
bool AddServiceSteps(ChangeSet &changes, const ServiceInstallOptions &options, char letter, std::string &why);
// Starts the service (after a complete install) and says how that went.
void StartInstalledService();
// Stops and removes the service and the event source, puts back TEMP, TMP
// and PagingFiles; false and why when something could not be undone.
bool UninstallService(std::string &why);
// The service's lines of pelmar-install status; a service missing or
// stopped while Pelmar is installed (or records are left) is a problem.
void ServiceStatus(bool pelmarInstalled, std::vector<std::string> &problems);

}  // namespace pelmar_tools

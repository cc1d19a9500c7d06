// pelmar-install's part for pelmar-service: its options, the service, the
// event source, the paging file on the drive, and putting back every value
// they changed (install_service.cpp). The PagingFiles edits are plain text
// work, here so that the tools' tests check them over a table.
#pragma once

#include <cstdint>
#include <string>

#include "tools/install_boot_execute.h"

namespace pelmar_tools {

// PagingFiles (REG_MULTI_SZ) with `line` as its last line, once (a line
// naming the same file in any letter case is replaced); and without it.
MultiString WithPagingLine(const MultiString &value, const std::u16string &line);
MultiString WithoutPagingLine(const MultiString &value, const std::u16string &line);

// "256-1024": a paging file of 256 to 1024 MiB; false for anything else.
bool ParsePagingSizes(const std::string &text, uint64_t &least, uint64_t &most);

#ifdef _WIN32
struct ServiceInstallOptions {
    bool userTemp = false, systemTemp = false, pagefile = false;
    uint64_t pageLeast = 0, pageMost = 0;
};

// Takes install's options out of its words (they may stand anywhere
// among Pelmar's arguments); false and why for a bad one.
bool TakeServiceOptions(int &count, wchar_t **words, ServiceInstallOptions &options, std::string &why);
// What must hold before anything changes: pelmar-service.exe beside
// pelmar-install, an image that has permissions for --user-temp, a paging
// file that fits the drive.
bool CheckServiceInstall(const ServiceInstallOptions &options, const std::wstring &image, char letter,
                         std::string &why);
// Installs the service, the event source and the settings, and edits
// PagingFiles; on failure undoes what it did and says why.
bool ApplyServiceInstall(const ServiceInstallOptions &options, char letter, std::string &why);
// Undoes ApplyServiceInstall when a later step of the install fails.
void RollBackServiceInstall();
// Starts the service (after a complete install) and says how that went.
void StartInstalledService();
// Stops and removes the service and the event source, puts back TEMP, TMP
// and PagingFiles; false and why when something could not be undone.
bool UninstallService(std::string &why);
// The service's lines of pelmar-install status.
void ServiceStatus();
#endif

}  // namespace pelmar_tools

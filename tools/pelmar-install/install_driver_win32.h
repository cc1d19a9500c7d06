// The disk-encryption driver's service, whose start type Pelmar needs at
// boot (0 or 1): pelmar-install reads it, raises it, and says what it means.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace pelmar_tools {

// The driver's service, as the driver's own installer names it.
inline constexpr wchar_t kDriverService[] = L"SYSTEM\\CurrentControlSet\\Services\\truecrypt";
inline constexpr char kDriverServiceName[] = "truecrypt";

// The driver service's start type; nothing when there is no service or its
// Start value is not a start type, and then `error` says which.
std::optional<DWORD> DriverStart(std::string &error);
std::string StartMeaning(DWORD start);

}  // namespace pelmar_tools

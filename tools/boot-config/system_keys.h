// The system's own keys and values that the boot configuration reads and
// changes, under HKEY_LOCAL_MACHINE: the Session Manager's list of
// boot-time programs, its environment (SYSTEM's and every service's), the
// list of paging files, and the machine's user profiles.
#pragma once

namespace pelmar_tools {

inline constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr wchar_t kBootExecuteValue[] = L"BootExecute";
inline constexpr wchar_t kSystemEnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
inline constexpr wchar_t kMemoryManagementKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
inline constexpr wchar_t kPagingFilesValue[] = L"PagingFiles";
inline constexpr wchar_t kProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

}  // namespace pelmar_tools

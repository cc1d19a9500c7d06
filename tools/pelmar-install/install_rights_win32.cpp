// The rights of files and folders as Windows reports them, and the
// protected permissions install gives the container and the image (see
// install_rights.h).
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include "tools/pelmar-install/install_rights_win32.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

// NT SERVICE\TrustedInstaller, which owns the system's own files.
const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The account running the installer, an administrator (install checks that
// first): what it owns or may change, only administrators may.
bool IsThisUser(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    BYTE buffer[256];
    DWORD size = 0;
    const bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                      EqualSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, sid);
    CloseHandle(token);
    return same;
}

Trustee Classify(PSID sid) {
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsThisUser(sid)) return Trustee::Administrators;
    if (IsWellKnownSid(sid, WinLocalSystemSid)) return Trustee::System;
    if (IsWellKnownSid(sid, WinCreatorOwnerSid)) return Trustee::CreatorOwner;
    wchar_t *text = nullptr;
    Trustee who = Trustee::Other;
    if (ConvertSidToStringSidW(sid, &text)) {
        if (std::wstring(text) == kTrustedInstaller) who = Trustee::TrustedInstaller;
        LocalFree(text);
    }
    return who;
}

std::string SidName(PSID sid) {
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return domainLength ? Narrow(domain) + "\\" + Narrow(name) : Narrow(name);
    }
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "an unknown account";
    std::string out = Narrow(text);
    LocalFree(text);
    return out;
}

}  // namespace

void SavedSecurity::Forget() {
    if (descriptor) LocalFree(descriptor);
    descriptor = nullptr;
}

bool ReadRights(const std::wstring &path, ObjectRights &rights, bool &inherits, std::string &error) {
    rights = ObjectRights{};
    rights.path = Narrow(path.c_str());
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = "cannot read " + rights.path + ": " + SystemErrorText(GetLastError());
        return false;
    }
    rights.reparsePoint = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    DWORD r = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &owner, nullptr, &dacl, nullptr, &descriptor);
    if (r != ERROR_SUCCESS) {
        error = "cannot read the permissions of " + rights.path + ": " + SystemErrorText(r);
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    inherits = (control & SE_DACL_PROTECTED) == 0;
    rights.hasDacl = dacl != nullptr;
    if (owner) {
        rights.owner = Classify(owner);
        rights.ownerName = SidName(owner);
    } else {
        rights.owner = Trustee::Other;
        rights.ownerName = "nobody";
    }
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&header))) continue;
        AccessEntry entry;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // Both records start alike: the header, the mask, the SID.
            auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
            PSID sid = &ace->SidStart;
            entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            entry.who = Classify(sid);
            entry.name = SidName(sid);
            entry.mask = ace->Mask;
        } else {
            // Object and callback entries: weighed as somebody else's
            // full control, the careful reading.
            entry.name = "an entry of type " + std::to_string(header->AceType);
            entry.mask = GENERIC_ALL;
        }
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        rights.entries.push_back(entry);
    }
    LocalFree(descriptor);
    return true;
}

std::string WayProblem(const std::wstring &path) {
    // Every folder from the drive's root ("c:\") down to the file's own.
    std::string error;
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        ObjectRights folder;
        bool inherits = false;
        if (!ReadRights(path.substr(0, at + 1), folder, inherits, error)) return error;
        std::string problem = FolderProblem(folder);
        if (!problem.empty()) return problem;
    }
    ObjectRights file;
    bool inherits = false;
    if (!ReadRights(path, file, inherits, error)) return error;
    if (file.reparsePoint) return file.path + " is a link: the boot would follow it wherever it points then";
    return {};
}

bool ProtectFile(const std::wstring &path, SavedSecurity &saved, std::string &error) {
    DWORD r = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &saved.owner, nullptr, &saved.dacl, nullptr, &saved.descriptor);
    if (r != ERROR_SUCCESS) {
        error = "cannot read the permissions of " + Narrow(path.c_str()) + ": " + SystemErrorText(r);
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(saved.descriptor, &control, &revision);
    saved.inherited = (control & SE_DACL_PROTECTED) == 0;

    BYTE administrators[SECURITY_MAX_SID_SIZE], system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
    size = sizeof system;
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size);
    BYTE aclBytes[256];
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    if (!InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators)) {
        error = "cannot make the protected permissions: " + SystemErrorText(GetLastError());
        saved.Forget();
        return false;
    }
    r = SetNamedSecurityInfoW(const_cast<wchar_t *>(path.c_str()), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              administrators, nullptr, acl, nullptr);
    if (r != ERROR_SUCCESS) {
        error = "cannot give " + Narrow(path.c_str()) + " its protected permissions: " + SystemErrorText(r);
        saved.Forget();
        return false;
    }
    return true;
}

bool PutBackSecurity(const std::wstring &path, const SavedSecurity &saved, std::string &error) {
    const DWORD protection = saved.inherited ? UNPROTECTED_DACL_SECURITY_INFORMATION : PROTECTED_DACL_SECURITY_INFORMATION;
    DWORD r = SetNamedSecurityInfoW(const_cast<wchar_t *>(path.c_str()), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | protection, saved.owner,
                                    nullptr, saved.dacl, nullptr);
    if (r != ERROR_SUCCESS) {
        error = SystemErrorText(r);
        return false;
    }
    return true;
}

bool IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

}  // namespace pelmar_tools

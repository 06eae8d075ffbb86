#include "harness/Placement.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace harness {

bool GrantEveryone(SE_OBJECT_TYPE type, const std::string& name, DWORD access) {
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<char> object(name.begin(), name.end());
    object.push_back('\0');
    if (GetNamedSecurityInfoA(object.data(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    char everyone[] = "EVERYONE";
    EXPLICIT_ACCESSA grant = {};
    grant.grfAccessPermissions = access;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = NO_INHERITANCE;
    BuildTrusteeWithNameA(&grant.Trustee, everyone);
    PACL granted = nullptr;
    bool set = SetEntriesInAclA(1, &grant, acl, &granted) == ERROR_SUCCESS &&
               SetNamedSecurityInfoA(object.data(), type, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, granted, nullptr) == ERROR_SUCCESS;
    LocalFree(granted);
    LocalFree(descriptor);
    return set;
}

bool KeepToAdministrators(const std::string& folder) {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE user[256];
    DWORD size = sizeof(user);
    bool known = GetTokenInformation(token, TokenUser, user, size, &size);
    CloseHandle(token);
    LPSTR account = nullptr;
    if (!known ||
        !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &account)) {
        return false;
    }
    std::string sddl =
        "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + std::string(account) + ")";
    LocalFree(account);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    std::vector<char> object(folder.begin(), folder.end());
    object.push_back('\0');
    bool kept =
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor, nullptr) &&
        GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) &&
        SetNamedSecurityInfoA(object.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return kept;
}

bool SetRunOnce(const std::string& name, const std::string& commandLine) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool set = RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(commandLine.c_str()),
                              static_cast<DWORD>(commandLine.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

void DeleteRunOnce(const std::string& name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name.c_str());
        RegCloseKey(key);
    }
}

bool RunOnceValueExists(const std::string& name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool exists =
        RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

} // namespace harness

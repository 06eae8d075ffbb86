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

std::string RunningAccount() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE user[256];
    DWORD size = sizeof(user);
    bool known = GetTokenInformation(token, TokenUser, user, size, &size);
    CloseHandle(token);
    LPSTR text = nullptr;
    if (!known || !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text)) {
        return std::string();
    }
    std::string account = text;
    LocalFree(text);
    return account;
}

std::string FolderAccess(const std::string& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPSTR text = nullptr;
    std::string access;
    if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        access = text;
    }
    LocalFree(text);
    LocalFree(descriptor);
    return access;
}

bool KeepToAdministrators(const std::string& folder) {
    std::string account = RunningAccount();
    if (account.empty()) {
        return false;
    }
    std::string sddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account + ")";
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

#include "harness/Placement.h"

#include "harness/Harness.h"

#include <aclapi.h>
#include <sddl.h>

#include <stdio.h>

namespace harness {

std::string AccessOf(SE_OBJECT_TYPE type, const std::string& name) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPSTR text = nullptr;
    std::string access;
    if (GetNamedSecurityInfoA(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        access = text;
    }
    LocalFree(text);
    LocalFree(descriptor);
    return access;
}

// Sets the object's access list from that notation; "D:P" protects it from
// what the folder or key above would pass on.
static bool SetAccess(SE_OBJECT_TYPE type, const std::string& name, const std::string& access) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    std::string object = name;
    SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
    parts |= access.compare(0, 3, "D:P") == 0 ? PROTECTED_DACL_SECURITY_INFORMATION : 0;
    bool set = ConvertStringSecurityDescriptorToSecurityDescriptorA(access.c_str(), SDDL_REVISION_1,
                                                                    &descriptor, nullptr) &&
               GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) &&
               SetNamedSecurityInfoA(&object[0], type, parts, nullptr, nullptr, acl, nullptr) ==
                   ERROR_SUCCESS;
    LocalFree(descriptor);
    return set;
}

bool AddAccessEntries(SE_OBJECT_TYPE type, const std::string& name, const std::string& entries) {
    std::string list = AccessOf(type, name);
    return !list.empty() && SetAccess(type, name, list + entries);
}

bool GrantEveryone(SE_OBJECT_TYPE type, const std::string& name, DWORD access) {
    char grant[32];
    snprintf(grant, sizeof(grant), "(A;;0x%lx;;;WD)", access);
    return AddAccessEntries(type, name, grant);
}

static std::string OwnerOf(SE_OBJECT_TYPE type, const std::string& name) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    LPSTR text = nullptr;
    std::string shown;
    if (GetNamedSecurityInfoA(name.c_str(), type, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        owner != nullptr && ConvertSidToStringSidA(owner, &text)) {
        shown = text;
    }
    LocalFree(text);
    LocalFree(descriptor);
    return shown;
}

// Lets this program name any principal as an owner, as a restore does.
static void EnableRestorePrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        return;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

std::string UnixPathOf(const std::string& path) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    ToUnix toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    char* unixPath = toUnix == nullptr ? nullptr : toUnix(Widen(path).c_str());
    std::string text = unixPath == nullptr ? std::string() : unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return text;
}

bool StartUnixProgram(std::string commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Under Wine: hands the file to the Unix account nobody with chown. The
// owner is polled for.
static bool GiveToNobody(const std::string& path) {
    std::string unixPath = UnixPathOf(path);
    if (unixPath.empty() || !StartUnixProgram("/bin/chown nobody \"" + unixPath + "\"")) {
        return false;
    }
    for (int tries = 0; tries < 100 && OwnerOf(SE_FILE_OBJECT, path) != "S-1-5-7"; ++tries) {
        Sleep(50);
    }
    return OwnerOf(SE_FILE_OBJECT, path) == "S-1-5-7";
}

bool GiveTo(SE_OBJECT_TYPE type, const std::string& name, const std::string& owner) {
    EnableRestorePrivilege();
    PSID sid = nullptr;
    std::string object = name;
    if (ConvertStringSidToSidA(owner.c_str(), &sid)) {
        SetNamedSecurityInfoA(&object[0], type, OWNER_SECURITY_INFORMATION, sid, nullptr, nullptr,
                              nullptr);
        LocalFree(sid);
    }
    if (OwnerOf(type, name) == owner) {
        return true;
    }
    return type == SE_FILE_OBJECT && owner == "S-1-5-7" && RunningUnderWine() && GiveToNobody(name);
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

bool KeepToAdministrators(const std::string& folder) {
    std::string account = RunningAccount();
    return !account.empty() &&
           SetAccess(SE_FILE_OBJECT, folder,
                     "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + account + ")");
}

bool SetRunOnce(const std::string& name, const std::string& commandLine) {
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, kRunOnceKey, name.c_str(), REG_SZ,
                           commandLine.c_str(),
                           static_cast<DWORD>(commandLine.size() + 1)) == ERROR_SUCCESS;
}

void DeleteRunOnce(const std::string& name) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_SET_VALUE | view, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueA(key, name.c_str());
            RegCloseKey(key);
        }
    }
}

bool RunOnceValueExists(const std::string& name, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    bool exists =
        RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

} // namespace harness

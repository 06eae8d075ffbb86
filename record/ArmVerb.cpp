// arm: a copy of the tool in a folder of its own, and a RunOnce value that
// starts it with "/S" at the next logon; nothing when one does already.
#include "checks/Arming.h"
#include "record/Record.h"

#include <sddl.h>
#include <stdio.h>

namespace {

const char kRunOnceShown[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// The view that the system's own start-up reads: the 64-bit one on 64-bit
// Windows. 32-bit Windows has one view and ignores the flag.
const REGSAM kStartupView = KEY_WOW64_64KEY;
// The copy's folder: full control for SYSTEM and Administrators, read and
// run for Users, and nothing inherited from the Temp folder above it, where
// users may add files. The pass runs the copy, and loads DLLs from its folder
// first, with an administrator's rights.
const wchar_t kCopyFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

std::wstring FileNameOf(const std::wstring& path) {
    return path.substr(path.find_last_of(L"\\/") + 1);
}

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A new folder of its own under the Windows folder's Temp; empty,
// complained, when none could be made.
std::wstring NewCopyFolder() {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Complain("cannot find the Windows folder");
        return std::wstring();
    }
    // The Temp folder's name as it lies on disk: the copy's processes may
    // learn their own path in that spelling, and the command lines printed
    // for the pass must be those it starts, byte for byte.
    std::wstring temp = std::wstring(windows, length) + L"\\Temp";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(temp.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        temp = std::wstring(windows, length) + L"\\" + found.cFileName;
        FindClose(search);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kCopyFolderAccess, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        Complain("cannot make the access list of the copy's folder: error %lu", GetLastError());
        return std::wstring();
    }
    SECURITY_ATTRIBUTES access = {sizeof(access), descriptor, FALSE};
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    std::wstring folder;
    DWORD error = ERROR_SUCCESS;
    for (DWORD attempt = 0; attempt < 100 && folder.empty(); ++attempt) {
        wchar_t name[32];
        swprintf(name, 32, L"\\pendreg-%08lx", static_cast<unsigned long>(seed + attempt));
        if (CreateDirectoryW((temp + name).c_str(), &access)) {
            folder = temp + name;
        } else if ((error = GetLastError()) != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    LocalFree(descriptor);
    if (folder.empty()) {
        Complain("cannot make a folder under %s: error %lu", ReportText(temp).c_str(), error);
    }
    return folder;
}

// Writes the value unless one of that name is there: it is somebody else's.
bool SetRunOnce(const std::wstring& name, const std::wstring& commandLine) {
    HKEY key;
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | kStartupView, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Complain("%s: cannot be written: error %ld", kRunOnceShown, status);
        return false;
    }
    if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        Complain("%s: a value \"%s\" is there already and starts something else; choose another "
                 "--name",
                 kRunOnceShown, ReportText(name).c_str());
        RegCloseKey(key);
        return false;
    }
    status = RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(commandLine.c_str()),
                            static_cast<DWORD>((commandLine.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        Complain("%s: cannot be written: error %ld", kRunOnceShown, status);
    }
    return status == ERROR_SUCCESS;
}

} // namespace

int ArmVerb(const Arguments& arguments) {
    std::wstring tool = arguments.tool.empty() ? ToolBesideRecorder() : FullPath(arguments.tool);
    if (!IsFile(tool)) {
        Complain("tool %s: not found", ReportText(tool).c_str());
        return kExitRefused;
    }
    std::wstring copy;
    std::wstring valueName;
    if (FindArmedCopy(tool, &copy, &valueName)) {
        printf("already armed: the RunOnce value \"%s\" starts \"%s\" /S; nothing done\n",
               ReportText(valueName).c_str(), ReportText(copy).c_str());
        return kExitDone;
    }
    std::wstring folder = NewCopyFolder();
    if (folder.empty()) {
        return kExitRefused;
    }
    copy = folder + L"\\" + FileNameOf(tool);
    std::string ansiCopy;
    std::wstring name = arguments.name.empty() ? L"pendreg" : arguments.name;
    bool armed = false;
    if (!ToAnsi(copy, &ansiCopy)) {
        Complain("%s: the ANSI code page cannot hold the copy's path", ReportText(copy).c_str());
    } else if (!CopyFileW(tool.c_str(), copy.c_str(), TRUE)) {
        Complain("%s: cannot be copied to %s: error %lu", ReportText(tool).c_str(),
                 ansiCopy.c_str(), GetLastError());
    } else {
        armed = SetRunOnce(name, L"\"" + copy + L"\" /S");
    }
    if (!armed) {
        DeleteFileW(copy.c_str());
        RemoveDirectoryW(folder.c_str());
        return kExitRefused;
    }
    printf("armed: the RunOnce value \"%s\" in %s starts \"%s\" /S at the next logon\n",
           ReportText(name).c_str(), kRunOnceShown, ansiCopy.c_str());
    return kExitDone;
}

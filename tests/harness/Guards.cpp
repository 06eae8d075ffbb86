#include "harness/Guards.h"

#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <algorithm>
#include <cstring>

namespace harness {

const char kSessionManagerKey[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenamesValue[] = "PendingFileRenameOperations";

SavedValue::SavedValue(HKEY root, const char* path, const char* name)
    : root_(root), path_(path), name_(name) {
    HKEY key;
    if (RegOpenKeyExA(root_, path_, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD size = 0;
    existed_ = RegQueryValueExA(key, name_, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
    value_.resize(size);
    RegQueryValueExA(key, name_, nullptr, nullptr, reinterpret_cast<BYTE*>(&value_[0]), &size);
    RegCloseKey(key);
}

SavedValue::~SavedValue() {
    HKEY key;
    if (RegOpenKeyExA(root_, path_, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    if (existed_) {
        RegSetValueExA(key, name_, 0, type_, reinterpret_cast<const BYTE*>(value_.data()),
                       static_cast<DWORD>(value_.size()));
    } else {
        RegDeleteValueA(key, name_);
    }
    RegCloseKey(key);
}

RunOnceGuard::RunOnceGuard(const std::string& name) : name_(name) {
    DeleteRunOnce(name_);
}

RunOnceGuard::~RunOnceGuard() {
    DeleteRunOnce(name_);
}

PendingKeyGuard::PendingKeyGuard() {
    RemovePendingKey();
    RemoveProductRecord();
}

PendingKeyGuard::~PendingKeyGuard() {
    RemovePendingKey();
    RemoveProductRecord();
}

// The folders under the Windows folder's Temp named as arm names them:
// "pendreg-" and eight hex digits. Scratch folders have longer names.
static std::vector<std::string> CopyFolders() {
    char windows[MAX_PATH];
    std::string temp =
        std::string(windows, GetWindowsDirectoryA(windows, sizeof(windows))) + "\\Temp\\";
    std::vector<std::string> folders;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((temp + "pendreg-????????").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return folders;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && strlen(found.cFileName) == 16) {
            folders.push_back(temp + found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return folders;
}

TempCopiesGuard::TempCopiesGuard() : before_(CopyFolders()) {}

TempCopiesGuard::~TempCopiesGuard() {
    for (const std::string& folder : CopyFolders()) {
        if (std::find(before_.begin(), before_.end(), folder) == before_.end()) {
            RemoveFolder(folder);
        }
    }
}

} // namespace harness

#include "checks/RestartRenames.h"

#include <windows.h>

#include <string.h>

#include <vector>

// The full path, for comparing paths written in different ways.
static std::string FullPath(const std::string& path) {
    char full[MAX_PATH * 4];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return length == 0 || length >= sizeof(full) ? path : std::string(full, length);
}

static bool SamePath(const std::string& first, const std::string& second) {
    return lstrcmpiA(FullPath(first).c_str(), FullPath(second).c_str()) == 0;
}

// A path of the delayed-move list, without the "!" of a replacing move and
// the "\??\" of the native form.
static std::string PlainPath(const char* entry) {
    if (*entry == '!') {
        ++entry;
    }
    if (strncmp(entry, "\\??\\", 4) == 0) {
        entry += 4;
    }
    return entry;
}

AtRestart FindDelayedMove(const char* file, std::string* source) {
    AtRestart fate = AtRestart::Untouched;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return fate;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    std::vector<char> list;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        list.resize(size + 2);
        RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(list.data()), &size);
    }
    RegCloseKey(key);
    // Pairs of strings: the file to move, then where to; an empty target
    // deletes it.
    const char* end = list.data() + list.size() - 2;
    for (const char* at = list.data(); !list.empty() && at < end && *at != '\0';) {
        std::string from = PlainPath(at);
        at += strlen(at) + 1;
        if (at >= end) {
            break;
        }
        std::string to = PlainPath(at);
        at += strlen(at) + 1;
        if (SamePath(from, file)) {
            fate = AtRestart::Leaves;
            *source = to;
        } else if (!to.empty() && SamePath(to, file)) {
            fate = AtRestart::Arrives;
            *source = from;
        }
    }
    return fate;
}

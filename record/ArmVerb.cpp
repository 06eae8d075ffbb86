// arm: a copy of the tool in a folder of its own, and a RunOnce value that
// starts it with "/S" at the next logon; nothing when one does already.
#include "main/CommandLine.h"
#include "record/Arm.h"
#include "record/Record.h"

#include <stdio.h>

namespace {

const wchar_t kRunOnce[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char kRunOnceShown[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// The view that the system's own start-up reads: the 64-bit one on 64-bit
// Windows. 32-bit Windows has one view and ignores the flag.
const REGSAM kStartupView = KEY_WOW64_64KEY;

std::wstring FileNameOf(const std::wstring& path) {
    return path.substr(path.find_last_of(L"\\/") + 1);
}

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The whole file, or empty when it cannot be read.
std::string Contents(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    LARGE_INTEGER size;
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size) &&
        size.QuadPart < 64 * 1024 * 1024) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!bytes.empty() &&
            !ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) {
            read = 0;
        }
        bytes.resize(read);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return bytes;
}

// The program a command line starts, as process creation finds it: the
// quoted first token, or everything up to the first space.
std::wstring ProgramOf(const std::wstring& commandLine) {
    if (!commandLine.empty() && commandLine[0] == L'"') {
        return commandLine.substr(1, commandLine.find(L'"', 1) - 1);
    }
    return commandLine.substr(0, commandLine.find(L' '));
}

// Whether the command starts a copy of the tool with "/S", read with the
// tool's own grammar from the ANSI command line the copy would get.
bool StartsPass(const std::wstring& commandLine, const std::wstring& tool,
                const std::string& toolBytes) {
    ToolCommand command = ScanCommandLine(ReportText(commandLine).c_str());
    if (!command.hasSwitch || command.letter != 'S') {
        return false;
    }
    std::wstring program = ProgramOf(commandLine);
    if (!IsFile(program)) {
        return false;
    }
    return lstrcmpiW(FileNameOf(program).c_str(), FileNameOf(tool).c_str()) == 0 ||
           (!toolBytes.empty() && Contents(program) == toolBytes);
}

// The value's command line, with environment variables expanded for an
// expandable string; empty for a value of another type.
std::wstring CommandOf(DWORD type, const std::wstring& data) {
    if (type == REG_SZ) {
        return data;
    }
    if (type != REG_EXPAND_SZ) {
        return std::wstring();
    }
    std::wstring expanded(32768, L'\0');
    DWORD length =
        ExpandEnvironmentStringsW(data.c_str(), &expanded[0], static_cast<DWORD>(expanded.size()));
    expanded.resize(length > 0 && length <= expanded.size() ? length - 1 : 0);
    return expanded;
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
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (DWORD attempt = 0; attempt < 100; ++attempt) {
        wchar_t name[32];
        swprintf(name, 32, L"\\pendreg-%08lx", static_cast<unsigned long>(seed + attempt));
        std::wstring folder = temp + name;
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            return folder;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    Complain("cannot make a folder under %s: error %lu", ReportText(temp).c_str(), GetLastError());
    return std::wstring();
}

// Writes the value unless one of that name is there: it is somebody else's.
bool SetRunOnce(const std::wstring& name, const std::wstring& commandLine) {
    HKEY key;
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunOnce, 0, nullptr, 0,
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

bool FindArmedCopy(const std::wstring& tool, std::wstring* copy, std::wstring* valueName) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnce, 0, KEY_QUERY_VALUE | kStartupView, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    std::string toolBytes = Contents(tool);
    bool found = false;
    std::wstring name(16384, L'\0');
    std::wstring data;
    for (DWORD index = 0; !found; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (RegEnumValueW(key, index, &name[0], &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        data.assign(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                             &size) != ERROR_SUCCESS) {
            continue;
        }
        data.resize(wcsnlen(data.c_str(), size / sizeof(wchar_t)));
        std::wstring commandLine = CommandOf(type, data);
        if (StartsPass(commandLine, tool, toolBytes)) {
            *copy = ProgramOf(commandLine);
            *valueName = name.substr(0, nameLength);
            found = true;
        }
    }
    RegCloseKey(key);
    return found;
}

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

#include "checks/loader/SearchOrder.h"

#include "checks/paths/PathNames.h"
#include "checks/renames/RestartRenames.h"
#include "checks/text/Findings.h"

#include <windows.h>

#include <algorithm>

namespace {

std::wstring SessionManagerSubkey(const wchar_t* name) {
    return std::wstring(kSessionManagerKey) + L"\\" + name;
}

std::wstring FolderFrom(UINT(WINAPI* get)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH];
    UINT length = get(folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length);
}

// A string value, its environment variables expanded; empty when missing.
std::wstring RegistryText(HKEY root, const wchar_t* key, const wchar_t* name) {
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    DWORD size = 0;
    if (RegGetValueW(root, key, name, flags, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(root, key, name, flags, nullptr, &text[0], &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    DWORD length = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(text.c_str(), &expanded[0], length) != length) {
        return std::wstring();
    }
    expanded.resize(length - 1);
    return expanded;
}

// The folders of PATH as a session started after the restart gets it: the
// machine's, then the user's. Entries that are no full path lean on the
// current folder, and are left out.
std::vector<std::wstring> PathAtRestart() {
    std::wstring path =
        RegistryText(HKEY_LOCAL_MACHINE, SessionManagerSubkey(L"Environment").c_str(), L"Path") +
        L";" + RegistryText(HKEY_CURRENT_USER, L"Environment", L"Path");
    std::vector<std::wstring> folders;
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(L';', start), path.size());
        std::wstring folder = path.substr(start, end - start);
        folder.erase(std::remove(folder.begin(), folder.end(), L'"'), folder.end());
        while (folder.size() > 3 && folder.back() == L'\\') {
            folder.pop_back();
        }
        if (IsFullPath(folder)) {
            folders.push_back(folder);
        }
    }
    return folders;
}

// The known DLLs: names that the loader takes from the system folder
// whatever lies elsewhere. The DllDirectory values name folders, not DLLs.
std::set<std::wstring> KnownDlls() {
    std::set<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionManagerSubkey(L"KnownDLLs").c_str(), 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[256];
    wchar_t data[MAX_PATH];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 256;
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = REG_NONE;
        LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && type == REG_SZ &&
            _wcsnicmp(name, L"DllDirectory", 12) != 0) {
            size_t length = size / sizeof(wchar_t);
            data[length] = L'\0';
            CharUpperBuffW(data, static_cast<DWORD>(length));
            names.insert(data);
        }
    }
    RegCloseKey(key);
    return names;
}

// Safe DLL search mode is on unless the value says 0; it has been the
// default since the value was introduced.
bool SafeSearchMode() {
    DWORD mode = 1;
    DWORD size = sizeof(mode);
    RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, L"SafeDllSearchMode", RRF_RT_REG_DWORD,
                 nullptr, &mode, &size);
    return mode != 0;
}

// The system and Windows folders keep their names wherever they come in an
// order: the system's own modules are not followed further.
Where RoleOf(const LoaderFolders& machine, const std::wstring& folder, Where otherwise) {
    if (SamePath(folder, machine.systemFolder)) {
        return Where::System;
    }
    return SamePath(folder, machine.windowsFolder) ? Where::WindowsFolder : otherwise;
}

void Append(const LoaderFolders& machine, SearchOrder& order, const std::wstring& folder,
            Where role) {
    if (folder.empty()) {
        return;
    }
    for (const auto& listed : order.folders) {
        if (SamePath(listed.first, folder)) {
            return;
        }
    }
    order.folders.push_back({folder, RoleOf(machine, folder, role)});
}

// The documented order after its first folder: the system folder, the
// Windows folder, the current folder, then PATH; without safe search mode
// the current folder comes straight after the first. (The 16-bit system
// folder, between the two system ones, holds no modules of ours to find.)
SearchOrder OrderFrom(const LoaderFolders& machine, int bits, const std::wstring& first,
                      Where firstIs) {
    SearchOrder order;
    order.bits = bits;
    Append(machine, order, first, firstIs);
    if (!machine.safeSearchMode) {
        Append(machine, order, machine.currentFolder, Where::CurrentFolder);
    }
    Append(machine, order, machine.systemFolder, Where::System);
    Append(machine, order, machine.windowsFolder, Where::WindowsFolder);
    Append(machine, order, machine.currentFolder, Where::CurrentFolder);
    for (const std::wstring& folder : machine.pathFolders) {
        Append(machine, order, folder, Where::Path);
    }
    return order;
}

} // namespace

LoaderFolders ReadLoaderFolders() {
    LoaderFolders machine;
    machine.systemFolder = FolderFrom(GetSystemDirectoryW);
    machine.systemFolder32 = FolderFrom(GetSystemWow64DirectoryW);
    machine.is64BitWindows = !machine.systemFolder32.empty();
    machine.windowsFolder = FolderFrom(GetSystemWindowsDirectoryW);
    machine.pathFolders = PathAtRestart();
    machine.knownDlls = KnownDlls();
    machine.safeSearchMode = SafeSearchMode();
    // The platform's documentation of RunOnce does not say which current
    // folder the program it starts gets; the system folder is taken, the
    // one folder that nobody but administrators may change anyway.
    machine.currentFolder = machine.systemFolder;
    return machine;
}

std::wstring OnDisk(const LoaderFolders& machine, const std::wstring& path, int bits) {
    std::wstring rest;
    if (bits == 32 && machine.is64BitWindows && Below(path, machine.systemFolder, &rest)) {
        return machine.systemFolder32 + rest;
    }
    return path;
}

EntrySearch SearchOf(const LoaderFolders& machine, char kind, bool is64Bit, int bits,
                     const std::wstring& opened, const std::wstring& tool) {
    EntrySearch search;
    std::wstring own = FolderOfPath(opened);
    if (kind == 'E') {
        // A process's own imports and its delay-loads: its own folder first.
        search.imports = OrderFrom(machine, bits, own, Where::OwnFolder);
        search.delayLoads = search.imports;
        return search;
    }
    // The program that loads a DLL: the tool's own child, or regsvr32.exe
    // from the system folder for DX.
    std::wstring program = is64Bit ? machine.systemFolder : FolderOfPath(tool);
    search.delayLoads = OrderFrom(machine, bits, program, Where::ProgramFolder);
    search.slashed = opened.find(L'/') != std::wstring::npos;
    search.imports =
        search.slashed ? search.delayLoads : OrderFrom(machine, bits, own, Where::OwnFolder);
    if (!SamePath(program, own)) {
        std::string passedBy = std::string("the loader searches ") +
                               (is64Bit ? "the folder of regsvr32.exe" : "the tool's folder") +
                               ", not the DLL's";
        search.delayLoads.why = "delay-loaded: " + passedBy;
        search.imports.why = search.slashed ? "written with \"/\": " + passedBy : "";
    }
    return search;
}

std::string FoldersSaid(const SearchOrder& order, const char* last) {
    std::vector<std::string> names;
    for (const auto& folder : order.folders) {
        switch (folder.second) {
        case Where::System:
            names.push_back("the system folder");
            break;
        case Where::WindowsFolder:
            names.push_back("the Windows folder");
            break;
        case Where::CurrentFolder:
            names.push_back("the current folder " + ReportText(folder.first));
            break;
        case Where::Path:
            break;
        default:
            names.push_back(ReportText(folder.first));
        }
    }
    // PATH is searched even when each of its folders came earlier.
    names.push_back("PATH");
    std::string text;
    for (size_t index = 0; index < names.size(); ++index) {
        if (index != 0) {
            text += index + 1 == names.size() ? std::string(" ") + last + " " : ", ";
        }
        text += names[index];
    }
    return text;
}

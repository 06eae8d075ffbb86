// arm: a copy of the tool in a folder of its own, and a RunOnce value that
// starts it with "/S" at the next logon; nothing when one does already.
#include "checks/Arming.h"
#include "checks/Safety.h"
#include "record/Arm.h"
#include "record/Record.h"
#include "record/WorkSetWriter.h"

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
// The name of a copy's folder: this, then eight hexadecimal digits.
const wchar_t kCopyFolderPrefix[] = L"pendreg-";
const wchar_t kCopyFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The Windows folder's Temp, where copies get folders of their own, with its
// name as it lies on disk: the copy's processes may learn their own path in
// that spelling, and the command lines printed for the pass must be those it
// starts, byte for byte. Empty, complained, when there is no Windows folder.
std::wstring CopiesParent() {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Complain("cannot find the Windows folder");
        return std::wstring();
    }
    std::wstring temp = std::wstring(windows, length) + L"\\Temp";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(temp.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        temp = std::wstring(windows, length) + L"\\" + found.cFileName;
        FindClose(search);
    }
    return temp;
}

std::wstring CopyFolderName(DWORD number) {
    wchar_t name[32];
    swprintf(name, 32, L"%ls%08lx", kCopyFolderPrefix, static_cast<unsigned long>(number));
    return name;
}

// A new folder of its own under the Windows folder's Temp; empty,
// complained, when none could be made.
std::wstring NewCopyFolder() {
    std::wstring temp = CopiesParent();
    if (temp.empty()) {
        return std::wstring();
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
        std::wstring tried = temp + L"\\" + CopyFolderName(seed + attempt);
        if (CreateDirectoryW(tried.c_str(), &access)) {
            folder = tried;
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

bool Mentions(const std::wstring& text, const std::wstring& name) {
    std::wstring upperText = text;
    std::wstring upperName = name;
    CharUpperBuffW(&upperText[0], static_cast<DWORD>(upperText.size()));
    CharUpperBuffW(&upperName[0], static_cast<DWORD>(upperName.size()));
    return upperText.find(upperName) != std::wstring::npos;
}

// Deletes the files in a copy's folder, then the folder; a copy in use (the
// running pass's own) stays, and so does its folder. True when it is gone.
bool RemoveCopyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring file = folder + L"\\" + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(file.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(folder.c_str()) != 0;
}

// The folders of earlier copies that no RunOnce value names: the pass deletes
// its copy at the next restart but not the folder, which would stay forever.
// Without withCopies only empty ones go (RemoveDirectory takes no other);
// with it, the copies in them too, when nothing is recorded for a pass.
void RemoveUnnamedCopyFolders(bool withCopies) {
    std::wstring temp = CopiesParent();
    if (temp.empty()) {
        return;
    }
    std::vector<ArmingValue> values = ReadRunOnceValues();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp + L"\\" + kCopyFolderPrefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        bool named = false;
        for (const ArmingValue& value : values) {
            named = named || Mentions(value.command, found.cFileName);
        }
        std::wstring folder = temp + L"\\" + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || named) {
            continue;
        }
        if (!withCopies) {
            RemoveDirectoryW(folder.c_str());
        } else if (RemoveCopyFolder(folder)) {
            Print("removed: %s, the folder of a copy of the tool that nothing starts\n",
                  ReportText(folder).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The copy, without the read-only attribute that it may have brought from
// the tool: the pass's own deletion at restart cannot delete a read-only
// file, nor can a refused run take its copy back.
bool PlaceCopy(const std::wstring& tool, const std::wstring& copy, const std::string& shown) {
    if (!CopyFileW(tool.c_str(), copy.c_str(), TRUE)) {
        Complain("%s: cannot be copied to %s: error %lu", ReportText(tool).c_str(), shown.c_str(),
                 GetLastError());
        return false;
    }
    DWORD attributes = GetFileAttributesW(copy.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !SetFileAttributesW(copy.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        Complain("%s: cannot be made writable, so that it can be deleted: error %lu", shown.c_str(),
                 GetLastError());
        return false;
    }
    return true;
}

// Takes back what a refused run made: the copy, read-only or not, and its
// folder.
void RemoveCopy(const std::wstring& copy, const std::wstring& folder) {
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The tool to copy: pendreg.exe beside the recorder, or --tool, which must
// be that same tool: the copy runs with an administrator's rights.
bool ChooseTool(const Arguments& arguments, std::wstring* tool) {
    std::wstring shipped = ToolBesideRecorder();
    *tool = arguments.tool.empty() ? shipped : FullPath(arguments.tool);
    if (!IsFile(*tool)) {
        Complain("tool %s: not found", ReportText(*tool).c_str());
        return false;
    }
    if (!arguments.tool.empty() && !SameBytes(*tool, shipped)) {
        Complain("tool %s: not the tool: its bytes differ from those of %s, which this recorder "
                 "ships with, and the copy would run in place of the pass",
                 ReportText(*tool).c_str(), ReportText(shipped).c_str());
        return false;
    }
    return true;
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

void WarnOfArmedCopies(const std::vector<ArmedCopy>& judged, const ArmedCopy* taken) {
    for (const ArmedCopy& other : judged) {
        if (!other.notTaken.empty()) {
            Complain("warning: the RunOnce value \"%s\" starts \"%s\" /S, which is not taken "
                     "for the pass: %s",
                     ReportText(other.value.name).c_str(), ReportText(other.value.copy).c_str(),
                     other.notTaken.c_str());
        }
    }
    if (judged.size() > 1) {
        Complain("warning: %u RunOnce values start copies of the tool with /S: whichever runs "
                 "first runs every work set%s%s%s; the others find nothing left to do",
                 static_cast<unsigned>(judged.size()),
                 taken == nullptr ? "" : ", and the lines below name the copy of \"",
                 taken == nullptr ? "" : ReportText(taken->value.name).c_str(),
                 taken == nullptr ? "" : "\"");
    }
}

namespace {

bool DeleteRunOnceValue(const ArmingValue& value) {
    REGSAM view = !RegistryHasTwoViews() ? 0
                  : value.viewBits == 64 ? KEY_WOW64_64KEY
                                         : KEY_WOW64_32KEY;
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_SET_VALUE | view, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(key, value.name.c_str());
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        Complain("%s: the value \"%s\" cannot be deleted: error %ld", kRunOnceShown,
                 ReportText(value.name).c_str(), status);
        return false;
    }
    return true;
}

} // namespace

bool DisarmWhenNothingRecorded(const std::wstring& name) {
    if (AnyWorkSetRecorded()) {
        return true;
    }
    std::wstring wanted = name.empty() ? L"pendreg" : name;
    for (const ArmingValue& value : FindArmingValues(ToolBesideRecorder(), ReadPendingRenames())) {
        if (CompareStringOrdinal(value.name.c_str(), -1, wanted.c_str(), -1, TRUE) != CSTR_EQUAL) {
            continue;
        }
        if (!DeleteRunOnceValue(value)) {
            return false;
        }
        Print("disarmed: the RunOnce value \"%s\" is deleted: no work set is left for the pass\n",
              ReportText(value.name).c_str());
    }
    // The copy goes with the folder, unless another value still starts it.
    RemoveUnnamedCopyFolders(true);
    return true;
}

std::wstring FutureCopyPath(const std::wstring& tool) {
    std::wstring temp = CopiesParent();
    return temp.empty() ? temp : temp + L"\\" + CopyFolderName(0) + L"\\" + FileNameOf(tool);
}

int ArmVerb(const Arguments& arguments) {
    std::wstring tool;
    if (!ChooseTool(arguments, &tool)) {
        return kExitRefused;
    }
    std::vector<ArmedCopy> judged = JudgeArmedCopies(tool, ReadPendingRenames());
    ArmedCopy armed;
    if (FindArmedCopy(judged, &armed)) {
        Print("already armed: the RunOnce value \"%s\" starts \"%s\" /S; nothing done\n",
              ReportText(armed.value.name).c_str(), ReportText(armed.value.copy).c_str());
        return kExitDone;
    }
    WarnOfArmedCopies(judged, nullptr);
    std::wstring folder = NewCopyFolder();
    if (folder.empty()) {
        return kExitRefused;
    }
    std::wstring copy = folder + L"\\" + FileNameOf(tool);
    std::string ansiCopy;
    std::wstring name = arguments.name.empty() ? L"pendreg" : arguments.name;
    bool placed = ToAnsi(copy, &ansiCopy);
    if (!placed) {
        Complain("%s: the ANSI code page cannot hold the copy's path", ReportText(copy).c_str());
    }
    placed = placed && PlaceCopy(tool, copy, ansiCopy);
    if (!placed || !SetRunOnce(name, L"\"" + copy + L"\" /S")) {
        RemoveCopy(copy, folder);
        return kExitRefused;
    }
    // Only an arm that was done changes anything else.
    RemoveUnnamedCopyFolders(false);
    Print("armed: the RunOnce value \"%s\" in %s starts \"%s\" /S at the next logon\n",
          ReportText(name).c_str(), kRunOnceShown, ansiCopy.c_str());
    return kExitDone;
}

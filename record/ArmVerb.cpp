// arm: a copy of the tool in a folder of its own, and a RunOnce value that
// starts it with "/S" at the next logon; nothing when one does already.
#include "checks/arming/Arming.h"
#include "checks/trust/Exposure.h"
#include "companion/TrustedLists.h"
#include "checks/paths/PathNames.h"
#include "record/Arm.h"
#include "record/ProductRecord.h"
#include "companion/ToolChoice.h"
#include "record/Record.h"
#include "record/WorkSetWriter.h"

#include <sddl.h>
#include <stdio.h>

namespace {

const char kRunOnceShown[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// The view that the system's own start-up reads: the 64-bit one on 64-bit
// Windows. 32-bit Windows has one view and ignores the flag.
const REGSAM kStartupView = KEY_WOW64_64KEY;
// The name of a copy's folder: this, then eight hexadecimal digits.
const wchar_t kCopyFolderPrefix[] = L"pendreg-";

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
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kCopyFolderList, SDDL_REVISION_1,
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
    std::wstring shipped = ToolBesideThisProgram();
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

namespace {

// Whether the RunOnce value that arm made is still there and starts the copy
// it was made with.
bool ValueStillStarts(const Arming& arming) {
    for (const ArmingValue& value : ReadRunOnceValues()) {
        if (value.viewBits == arming.viewBits && SameName(value.name, arming.value) &&
            value.command == arming.command) {
            return true;
        }
    }
    return false;
}

// Says what became of the copy or its folder, unless it went as it should.
void SayLeft(Takeback fate, const std::wstring& path, const char* what, DWORD error) {
    if (fate == Takeback::NotTheSame) {
        Print("left: %s: it is no longer the %s that arm made\n", ReportText(path).c_str(), what);
    } else if (fate == Takeback::Failed) {
        Print("left: %s: the %s that arm made cannot be deleted now: error %lu\n",
              ReportText(path).c_str(), what, error);
    }
}

// The copy and its folder, each only while it is what arm made; a copy in
// use (the running pass's own) stays, and so does its folder, and so does
// the note, for the next undo.
bool TakeBackCopy(const Arming& arming) {
    FileIdentity folder;
    bool isLink = false;
    if (!IdentityOf(arming.folder, &folder, &isLink)) {
        return true;
    }
    for (const ArmingValue& value :
         FindArmingValues(ToolBesideThisProgram(), ReadPendingRenames())) {
        if (SameFile(value.copy, arming.copy)) {
            Print("left: %s: the RunOnce value \"%s\" starts it too\n",
                  ReportText(arming.copy).c_str(), ReportText(value.name).c_str());
            return false;
        }
    }
    if (isLink || folder != arming.folderId) {
        SayLeft(Takeback::NotTheSame, arming.folder, "folder of the tool's copy", ERROR_SUCCESS);
        return true;
    }
    DWORD error = ERROR_SUCCESS;
    Takeback copy = DeleteIfSame(arming.copy, arming.copyId, false, &error);
    SayLeft(copy, arming.copy, "copy of the tool", error);
    if (copy == Takeback::Failed) {
        return false;
    }
    Takeback emptied = DeleteIfSame(arming.folder, arming.folderId, true, &error);
    SayLeft(emptied, arming.folder, "folder of the tool's copy", error);
    if (emptied == Takeback::Deleted) {
        Print("removed: %s, the folder of a copy of the tool that nothing needs\n",
              ReportText(arming.folder).c_str());
    }
    return emptied != Takeback::Failed;
}

bool TakeBackArming(const Arming& arming) {
    if (ValueStillStarts(arming)) {
        ArmingValue value;
        value.viewBits = arming.viewBits;
        value.name = arming.value;
        if (!DeleteRunOnceValue(value)) {
            return false;
        }
        Print("disarmed: the RunOnce value \"%s\" is deleted: nothing needs the pass any more\n",
              ReportText(arming.value).c_str());
    }
    if (TakeBackCopy(arming)) {
        ForgetArming(arming);
    }
    return true;
}

// Whether a named product still relies on the arming: its work set, or the
// next one it records, needs the pass. An arming made by a verb given no
// --work-set is needed as long as a work set is recorded.
bool NamedProductRelies(const Arming& arming) {
    bool unnamed = false;
    return !RelyingOn(arming, &unnamed).empty();
}

} // namespace

bool TakeBackUnneededArmings(bool deadOnly) {
    bool recorded = AnyWorkSetRecorded();
    bool done = true;
    for (const Arming& arming : NotedArmings()) {
        bool live = ValueStillStarts(arming);
        if (NamedProductRelies(arming) || (live && (deadOnly || recorded))) {
            continue;
        }
        done = TakeBackArming(arming) && done;
    }
    return done;
}

std::wstring FutureCopyPath(const std::wstring& tool) {
    std::wstring temp = CopiesParent();
    return temp.empty() ? temp : temp + L"\\" + CopyFolderName(0) + L"\\" + FileNameOf(tool);
}

namespace {

// Notes that the product relies on the arming that is there, when the
// recorder made it; one it did not make is nobody's to take back.
bool RelyOnArming(const Product& product, const ArmedCopy& armed) {
    for (const Arming& arming : NotedArmings()) {
        if (SameName(arming.value, armed.value.name) && SameFile(arming.copy, armed.value.copy)) {
            return NoteReliance(product, arming);
        }
    }
    return true;
}

} // namespace

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
        return RelyOnArming(arguments.workSet, armed) ? kExitDone : kExitRefused;
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
    Arming arming;
    arming.value = name;
    arming.viewBits = 64;
    arming.command = L"\"" + copy + L"\" /S";
    arming.copy = copy;
    arming.folder = folder;
    bool isLink = false;
    // Noted before the copy is placed: an arm cut short leaves only what its
    // product's undo takes back.
    placed = placed && IdentityOf(folder, &arming.folderId, &isLink) &&
             NoteArming(&arming, arguments.workSet) && PlaceCopy(tool, copy, ansiCopy) &&
             IdentityOf(copy, &arming.copyId, &isLink) && NoteArming(&arming, arguments.workSet);
    if (!placed || !SetRunOnce(name, arming.command)) {
        RemoveCopy(copy, folder);
        if (!arming.key.empty()) {
            ForgetArming(arming);
        }
        return kExitRefused;
    }
    // Only an arm that was done changes anything else.
    TakeBackUnneededArmings(true);
    Print("armed: the RunOnce value \"%s\" in %s starts \"%s\" /S at the next logon\n",
          ReportText(name).c_str(), kRunOnceShown, ansiCopy.c_str());
    return kExitDone;
}

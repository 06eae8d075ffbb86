#include "checks/entry/EntryFile.h"

#include "checks/image/ImageFacts.h"
#include "checks/image/TypeLibraryProbe.h"
#include "checks/loader/Dependencies.h"
#include "checks/paths/PathNames.h"
#include "checks/paths/PassReach.h"
#include "checks/paths/Redirection.h"
#include "pending/Launcher.h"

#include <windows.h>

namespace {

bool HasExtension(const std::wstring& path) {
    size_t dot = path.find_last_of(L'.');
    size_t slash = path.find_last_of(L"\\/");
    return dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
}

bool PresentAfterRestart(const std::wstring& path, const std::vector<PendingRename>& renames) {
    return FindAfterRestart(renames, path).present;
}

// Says where the file will come from and returns the path whose bytes the
// registration will see now; empty when there will be none.
std::wstring LocateFile(const std::wstring& file, const FileCheckContext& context,
                        Findings& findings) {
    AfterRestart after = FindAfterRestart(context.renames, file);
    std::string origin = ReportText(after.origin);
    std::string failedFrom = after.failed == nullptr ? "" : ReportText(after.failed->from);
    if (after.leaves) {
        AddFinding(findings, Outcome::Fail, "the file %s at restart, before the pass can run",
                   after.leftTo.empty() ? "is deleted"
                                        : ("is moved away to " + ReportText(after.leftTo)).c_str());
        return std::wstring();
    }
    if (after.failure == RenameFailure::TargetExists) {
        AddFinding(findings, Outcome::Warn,
                   "the pending move of %s onto this file fails at restart: the file exists "
                   "and the move was recorded without the replace flag, so the file present "
                   "now stays and is the one registered",
                   failedFrom.c_str());
    }
    if (!after.present) {
        if (after.failure == RenameFailure::SourceMissing) {
            AddFinding(findings, Outcome::Fail,
                       "file not found: the pending move that would put it in place fails at "
                       "restart, as %s is not there",
                       failedFrom.c_str());
        } else {
            AddFinding(findings, Outcome::Fail, "file not found, and no pending rename creates it");
        }
        return std::wstring();
    }
    if (after.origin != file) {
        AddFinding(findings, Outcome::Ok, "%s at restart from %s",
                   after.presentNow ? "file present, replaced" : "file arrives", origin.c_str());
    } else {
        AddFinding(findings, Outcome::Ok, "file present");
    }
    return after.origin;
}

void CheckDll(const ImageFacts& facts, bool is64Bit, int toolBits, Findings& findings) {
    if (!facts.isImage || !facts.isDll) {
        AddFinding(findings, Outcome::Fail, "not a DLL");
        return;
    }
    if (is64Bit && facts.bits != 64) {
        // The 64-bit regsvr32.exe hands a DLL of the other bitness to the
        // 32-bit one, which registers it: not what DX says, but no failure.
        AddFinding(findings, Outcome::Warn,
                   "32-bit DLL recorded as DX: the 64-bit regsvr32.exe hands it to the 32-bit "
                   "regsvr32.exe, which registers it; %s",
                   toolBits == 32 ? "record it as D, and the tool's own 32-bit child registers it"
                                  : "D is for the 32-bit tool, whose own child is 32-bit");
    } else if (!is64Bit && facts.bits != toolBits) {
        AddFinding(findings, Outcome::Fail,
                   "%d-bit DLL: the tool's own %d-bit child cannot load it%s", facts.bits, toolBits,
                   facts.bits == 64 ? " (record it as DX)" : "");
    } else {
        AddFinding(findings, Outcome::Ok, "%d-bit DLL", facts.bits);
    }
    if (facts.exportsRegisterServer) {
        AddFinding(findings, Outcome::Ok, "exports DllRegisterServer");
    } else {
        AddFinding(findings, Outcome::Fail,
                   "does not export DllRegisterServer: nothing would be registered");
    }
}

void CheckExecutable(const ImageFacts& facts, Findings& findings) {
    if (facts.isImage && !facts.isDll) {
        AddFinding(findings, Outcome::Ok, "%d-bit executable", facts.bits);
    } else {
        AddFinding(findings, Outcome::Fail,
                   facts.isImage ? "a DLL, not an executable (record it as D or DX)"
                                 : "not an executable");
    }
}

void CheckTypeLibrary(const std::wstring& path, Findings& findings) {
    ProbeResult probe = ProbeTypeLibrary(path);
    switch (probe.load) {
    case TypeLibraryLoad::Loads:
        AddFinding(findings, Outcome::Ok, "loads as a type library");
        break;
    case TypeLibraryLoad::DoesNotLoad:
        AddFinding(findings, Outcome::Fail, "does not load as a type library");
        break;
    case TypeLibraryLoad::LoaderCrashed:
        AddFinding(findings, Outcome::Fail,
                   "does not load as a type library: the loader crashed on it (exception "
                   "0x%08lX), and so will the tool's child",
                   probe.code);
        break;
    case TypeLibraryLoad::TimedOut:
        AddFinding(findings, Outcome::Fail,
                   "does not load as a type library: the loader did not finish with it");
        break;
    case TypeLibraryLoad::NotStarted:
        AddFinding(findings, Outcome::Fail,
                   "could not be loaded as a type library: the probe did not start (error %lu)",
                   probe.code);
        break;
    }
}

// The image checks of a file that is there.
void CheckFileItself(char kind, bool is64Bit, const std::wstring& located, int toolBits,
                     Findings& findings) {
    if (kind == 'T' && !is64Bit) {
        CheckTypeLibrary(located, findings);
        return;
    }
    ImageFacts facts = ReadImageFacts(located);
    if (facts.readError != ERROR_SUCCESS) {
        AddFinding(findings, Outcome::Fail, "cannot be read (error %lu)", facts.readError);
    } else if (facts.damage != nullptr) {
        AddFinding(findings, Outcome::Fail, "damaged image: %s", facts.damage);
    } else if (kind == 'E') {
        CheckExecutable(facts, findings);
    } else if (kind == 'D') {
        CheckDll(facts, is64Bit, toolBits, findings);
    }
}

// The path as stored, which the ANSI functions take whole, prefix and all,
// and the file it opens, which may have ".dll" added, must both fit them;
// and the file must lie where the pass will find it.
void CheckReach(const std::wstring& stored, const std::wstring& opened, Findings& findings) {
    std::string why = PathTooLongForPass(stored.size() > opened.size() ? stored : opened);
    if (why.empty()) {
        why = DriveUnseenByPass(opened);
    }
    if (!why.empty()) {
        AddFinding(findings, Outcome::Fail, "the file %s", why.c_str());
    }
}

// The restart moves the new version in place before the pass runs, when a
// drive of the installing user's session is not there; and a path too long
// for the ANSI functions is refused for it as for the file, as the recorder
// refuses to stage a new version at one.
void CheckNewVersionReach(const std::wstring& newVersion, Findings& findings) {
    std::string why = PassCannotReach(newVersion);
    if (!why.empty()) {
        AddFinding(findings, Outcome::Fail, "the new version %s %s", ReportText(newVersion).c_str(),
                   why.c_str());
    }
}

} // namespace

std::wstring FileThatRegisters(char kind, bool is64Bit, const std::wstring& file,
                               const std::vector<PendingRename>& renames) {
    if (HasExtension(file) || (kind == 'T' && !is64Bit)) {
        return file;
    }
    if (kind == 'E' && !PresentAfterRestart(file, renames)) {
        return file + L".exe";
    }
    return kind == 'E' ? file : file + L".dll";
}

bool FindOpenedFile(char kind, bool is64Bit, const char* file,
                    const std::vector<PendingRename>& renames, std::wstring* opened,
                    AfterRestart* after) {
    std::wstring written;
    if (!WithoutPathPrefix(AnsiToWide(file), &written) || !IsFullPath(written)) {
        return false;
    }
    *opened = FileThatRegisters(kind, is64Bit, written, renames);
    *after = FindAfterRestart(renames, *opened);
    return true;
}

Findings CheckEntryFile(char kind, bool is64Bit, const char* file,
                        const FileCheckContext& context) {
    Findings findings;
    // The file as the entry's own program will find it.
    RedirectionOff view(RunsWithRedirectionOff(kind, is64Bit));
    // Certain to register nothing, so a failure, not a warning.
    if (kind == 'T' && is64Bit) {
        AddFinding(findings, Outcome::Fail,
                   "TX runs regsvr32.exe, which does not register type libraries: "
                   "record the library as T, or register it from a 64-bit DLL");
    }
    // Judged without the prefix that hands the path to the file system as
    // written: the renames and the other checks name the same file plainly.
    std::wstring written;
    if (!WithoutPathPrefix(AnsiToWide(file), &written)) {
        AddFinding(findings, Outcome::Fail,
                   "names a device or a volume, not a file on a drive or a share: no check can "
                   "tell which file it is");
        return findings;
    }
    if (!IsFullPath(written)) {
        AddFinding(findings, Outcome::Fail,
                   "not a full path: which file is registered depends on the folder the pass "
                   "is started in and on the search path");
        return findings;
    }
    std::wstring opened = FileThatRegisters(kind, is64Bit, written, context.renames);
    if (opened != written) {
        AddFinding(findings, Outcome::Ok, "the name has no extension: %s opens %s",
                   kind == 'E' ? "process creation" : "the loader", ReportText(opened).c_str());
    }
    CheckReach(AnsiToWide(file), opened, findings);
    std::wstring located = LocateFile(opened, context, findings);
    if (!located.empty() && !SamePath(located, opened)) {
        CheckNewVersionReach(located, findings);
    }
    if (!located.empty()) {
        CheckFileItself(kind, is64Bit, located, context.toolBits, findings);
        CheckDependencies(kind, is64Bit, opened, located, context, findings);
    }
    return findings;
}

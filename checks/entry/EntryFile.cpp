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
    std::wstring failedFrom = after.failed == nullptr ? std::wstring() : after.failed->from;
    if (after.leaves) {
        if (after.leftTo.empty()) {
            AddFinding(findings, FindingCode::FileDeletedAtRestart, {About(file)});
        } else {
            AddFinding(findings, FindingCode::FileMovedAwayAtRestart,
                       {Path(after.leftTo), About(file)});
        }
        return std::wstring();
    }
    if (after.failure == RenameFailure::TargetExists) {
        AddFinding(findings, FindingCode::PendingMoveFails, {Path(failedFrom), About(file)});
    }
    if (!after.present) {
        if (after.failure == RenameFailure::SourceMissing) {
            AddFinding(findings, FindingCode::FileSourceMissing, {Path(failedFrom), About(file)});
        } else {
            AddFinding(findings, FindingCode::FileMissing, {About(file)});
        }
        return std::wstring();
    }
    if (after.origin != file) {
        AddFinding(findings,
                   after.presentNow ? FindingCode::FileReplacedAtRestart
                                    : FindingCode::FileArrivesAtRestart,
                   {Path(after.origin), About(file)});
    } else {
        AddFinding(findings, FindingCode::FilePresent, {About(file)});
    }
    return after.origin;
}

void CheckDll(const ImageFacts& facts, bool is64Bit, int toolBits, Findings& findings) {
    if (!facts.isImage || !facts.isDll) {
        AddFinding(findings, FindingCode::NotADll);
        return;
    }
    if (is64Bit && facts.bits != 64) {
        // The 64-bit regsvr32.exe hands a DLL of the other bitness to the
        // 32-bit one, which registers it: not what DX says, but no failure.
        AddFinding(findings, toolBits == 32 ? FindingCode::DxHolds32BitDll
                                            : FindingCode::DxHolds32BitDllFor64BitTool);
    } else if (!is64Bit && facts.bits != toolBits) {
        AddFinding(findings,
                   facts.bits == 64 ? FindingCode::DllNeedsDx : FindingCode::DllOtherBitness,
                   {Number(facts.bits), Number(toolBits)});
    } else {
        AddFinding(findings, FindingCode::DllBits, {Number(facts.bits)});
    }
    if (facts.exportsRegisterServer) {
        AddFinding(findings, FindingCode::ExportsRegister);
    } else {
        AddFinding(findings, FindingCode::NoRegisterExport);
    }
}

void CheckExecutable(const ImageFacts& facts, Findings& findings) {
    if (facts.isImage && !facts.isDll) {
        AddFinding(findings, FindingCode::ExecutableBits, {Number(facts.bits)});
    } else {
        AddFinding(findings,
                   facts.isImage ? FindingCode::DllNotExecutable : FindingCode::NotAnExecutable);
    }
}

void CheckTypeLibrary(const std::wstring& path, Findings& findings) {
    ProbeResult probe = ProbeTypeLibrary(path);
    switch (probe.load) {
    case TypeLibraryLoad::Loads:
        AddFinding(findings, FindingCode::TypeLibraryLoads);
        break;
    case TypeLibraryLoad::DoesNotLoad:
        AddFinding(findings, FindingCode::NotATypeLibrary);
        break;
    case TypeLibraryLoad::LoaderCrashed:
        AddFinding(findings, FindingCode::TypeLibraryLoaderCrashed, {Number(probe.code)});
        break;
    case TypeLibraryLoad::TimedOut:
        AddFinding(findings, FindingCode::TypeLibraryLoadUnfinished);
        break;
    case TypeLibraryLoad::NotStarted:
        AddFinding(findings, FindingCode::TypeLibraryProbeFailed, {Number(probe.code)});
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
        AddFinding(findings, FindingCode::FileUnreadable,
                   {Number(facts.readError), About(located)});
    } else if (facts.damage != nullptr) {
        AddFinding(findings, FindingCode::DamagedImage, {Words(facts.damage), About(located)});
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
        AddFinding(findings, FindingCode::FileOutOfReach, {Words(why), About(opened)});
    }
}

// The restart moves the new version in place before the pass runs, when a
// drive of the installing user's session is not there; and a path too long
// for the ANSI functions is refused for it as for the file, as the recorder
// refuses to stage a new version at one.
void CheckNewVersionReach(const std::wstring& newVersion, Findings& findings) {
    std::string why = PassCannotReach(newVersion);
    if (!why.empty()) {
        AddFinding(findings, FindingCode::NewVersionOutOfReach, {Path(newVersion), Words(why)});
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
        AddFinding(findings, FindingCode::TxRegistersNothing);
    }
    // Judged without the prefix that hands the path to the file system as
    // written: the renames and the other checks name the same file plainly.
    std::wstring written;
    if (!WithoutPathPrefix(AnsiToWide(file), &written)) {
        AddFinding(findings, FindingCode::DevicePath, {About(std::string(file))});
        return findings;
    }
    if (!IsFullPath(written)) {
        AddFinding(findings, FindingCode::NotAFullPath, {About(written)});
        return findings;
    }
    std::wstring opened = FileThatRegisters(kind, is64Bit, written, context.renames);
    if (opened != written) {
        AddFinding(findings,
                   kind == 'E' ? FindingCode::ExeNameWithoutExtension
                               : FindingCode::DllNameWithoutExtension,
                   {Path(opened)});
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

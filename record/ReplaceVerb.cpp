// replace: a new version in place of a file that may be in use, at once when
// it can be, otherwise at the next restart.
#include "checks/paths/PassReach.h"
#include "checks/paths/PathNames.h"
#include "checks/renames/RestartRenames.h"
#include "checks/trust/Placements.h"
#include "record/Record.h"
#include "record/Staging.h"

#include <stdio.h>

namespace {

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The errors with which a file in use refuses to be replaced.
bool InUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
}

// Whether the target lies where the restart can put the new version in place
// and the pass can register it, written plainly as the rest of the road names
// it (a prefix that hands a path to the file system as written can name a
// file that no plain path names, such as one whose name ends in a dot). And
// whether the new version can wait beside it, under its staged name and first
// its partial one. Complained when not.
bool CanStageFor(const std::wstring& target) {
    std::wstring plain;
    if (!WithoutPathPrefix(target, &plain) || plain != target) {
        Complain("%s: written with a \\\\?\\ or \\\\.\\ prefix: name the target plainly, with its "
                 "drive letter; nothing staged",
                 ReportText(target).c_str());
        return false;
    }
    std::string why = PassCannotReach(target);
    if (!why.empty()) {
        Complain("%s: %s; nothing staged", ReportText(target).c_str(), why.c_str());
        return false;
    }
    size_t folder = FolderOfPath(target).size();
    if (folder > kLongestStagingFolder) {
        Complain("%s: its folder's path has %u characters, and the new version can wait beside "
                 "it only in a folder of at most %u; nothing staged",
                 ReportText(target).c_str(), static_cast<unsigned>(folder),
                 static_cast<unsigned>(kLongestStagingFolder));
        return false;
    }
    return true;
}

// Why the target must wait for the restart although it is not in use; null
// when nothing there stops it being replaced now. A rename that the restart
// makes at the target comes after anything done now: a new version put in
// place at once would be replaced by an earlier one, or deleted or moved
// away with the target. The new version then waits for the restart too, and
// its move, added last, comes after theirs.
const char* PendingAtTarget(const std::wstring& target) {
    std::vector<PendingRename> renames = ReadPendingRenames();
    if (!HasPendingRenames(renames, target)) {
        return nullptr;
    }
    AfterRestart after = FindAfterRestart(renames, target);
    if (after.leaves) {
        return after.leftTo.empty()
                   ? "is deleted at restart by a pending deletion, after which the new version "
                     "takes its place"
                   : "is moved away at restart by a pending move, after which the new version "
                     "takes its place";
    }
    if (!SamePath(after.origin, target)) {
        return "has an earlier new version waiting for the restart, after which this one takes "
               "its place";
    }
    return "has renames pending for the restart, after which the new version takes its place";
}

} // namespace

int ReplaceVerb(const Arguments& arguments) {
    std::wstring source = FullPath(arguments.operands[0]);
    std::wstring target = FullPath(arguments.operands[1]);
    if (source.empty() || target.empty()) {
        return kExitRefused;
    }
    DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        Complain("%s: not found", ReportText(source).c_str());
        return kExitRefused;
    }
    if (!CanStageFor(target)) {
        return kExitRefused;
    }
    // The folder of C:\a.dll is the root C:\, not the drive's current folder.
    std::wstring folder = FolderOfPath(target);
    if (IsFolder(target) || !IsFolder(folder)) {
        Complain("%s: %s", ReportText(target).c_str(),
                 IsFolder(target) ? "is a folder" : "its folder is not there");
        return kExitRefused;
    }
    // The new version waits in the target's folder and is registered from
    // there, with an administrator's rights: judged as the inspector judges
    // the file it replaces.
    Findings unsafe;
    if (!AddPlacementFindings(unsafe, "the file", target)) {
        for (const Finding& finding : unsafe) {
            Complain("%s: %s; nothing staged there", ReportText(target).c_str(),
                     FindingText(finding).c_str());
        }
        return kExitRefused;
    }
    RemoveLeftovers(arguments.workSet);
    StagedCopy copy;
    if (!StageNewVersion(arguments.workSet, source, target, &copy)) {
        return kExitRefused;
    }
    const std::wstring& staged = copy.staged;
    const char* waits = PendingAtTarget(target);
    if (waits == nullptr &&
        MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        // The copy has taken its target's place: nothing of it is left to take back.
        ForgetStaged(arguments.workSet, copy);
        Print("replaced at once: %s\n", ReportText(target).c_str());
        return kExitDone;
    }
    DWORD error = waits == nullptr ? GetLastError() : ERROR_SUCCESS;
    if (waits == nullptr && InUse(error)) {
        waits = "is in use";
    }
    if (waits != nullptr && MoveFileExW(staged.c_str(), target.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        Print("replaced at restart: %s %s; the new version waits beside it as %s\n",
              ReportText(target).c_str(), waits, ReportText(staged).c_str());
        return kExitDone;
    }
    if (waits != nullptr) {
        error = GetLastError();
    }
    Complain("%s: cannot be replaced, now or at restart: error %lu", ReportText(target).c_str(),
             error);
    TakeBackStaged(arguments.workSet, copy, true);
    return kExitRefused;
}

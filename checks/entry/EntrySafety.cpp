#include "checks/entry/EntrySafety.h"

#include "checks/entry/EntryFile.h"
#include "checks/paths/PathNames.h"
#include "checks/paths/Redirection.h"
#include "checks/trust/Placements.h"
#include "pending/Launcher.h"

Findings CheckEntrySafety(char kind, bool is64Bit, const char* file,
                          const std::vector<PendingRename>& renames) {
    Findings findings;
    // The files as the entry's own program will find them.
    RedirectionOff view(RunsWithRedirectionOff(kind, is64Bit));
    std::wstring opened;
    AfterRestart after;
    if (!FindOpenedFile(kind, is64Bit, file, renames, &opened, &after) || !after.present) {
        return findings;
    }
    // The file present now runs if its replacement fails; the new version's
    // bytes keep their permissions when they are moved in.
    bool replaced = !SamePath(after.origin, opened);
    Placements placements;
    bool safe = placements.Add(findings, "the file " + ReportText(opened), "the file", opened,
                               Placement::Runs);
    if (replaced) {
        safe &= placements.Add(findings, "the new version " + ReportText(after.origin),
                               "the new version", after.origin, Placement::Staged);
    }
    if (safe) {
        AddFinding(findings, replaced ? FindingCode::NewVersionSafe : FindingCode::FileSafe,
                   {About(opened)});
    }
    return findings;
}

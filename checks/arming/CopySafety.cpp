#include "checks/arming/CopySafety.h"

#include "checks/paths/PathNames.h"
#include "checks/trust/Placements.h"

Findings CheckCopySafety(const std::wstring& copy, const std::wstring& lying) {
    Findings findings;
    Placements placements;
    // The bytes that will run, where they lie until the restart, and the
    // place they run from, whose folder the loader searches first.
    bool staged = !SamePath(lying, copy);
    bool safe = placements.Add(findings, "the tool's copy " + ReportText(lying), "the tool's copy",
                               lying, staged ? Placement::Staged : Placement::Runs);
    if (staged) {
        safe &= placements.Add(findings, "the tool's copy " + ReportText(copy), "the tool's copy",
                               copy, Placement::Runs);
    }
    if (safe) {
        AddFinding(findings, FindingCode::CopySafe, {About(copy)});
    }
    return findings;
}

#include "inspect/Inspect.h"

#include "companion/OutputLog.h"

#include <stdarg.h>
#include <stdio.h>

static void SayList(int depth, const char* tag, const char* format, va_list arguments) {
    std::string start(static_cast<size_t>(depth) * 2, ' ');
    Emit(stdout, (start + tag).c_str());
    EmitList(stdout, format, arguments);
    Emit(stdout, "\n");
}

void Say(int depth, const char* format, ...) {
    if (JsonReportInUse()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    SayList(depth, "", format, arguments);
    va_end(arguments);
}

const char* TagOf(Outcome outcome) {
    static const char* const kTags[] = {"ok   ", "FAIL ", "WARN ", "FAIL "};
    return kTags[static_cast<int>(outcome)];
}

// What the finding adds to the summary: by what its code is counted as, and
// by its outcome where that decides.
static void Count(Tally& tally, const Finding& finding) {
    bool fails = Fails(finding.outcome);
    switch (CountedAsOf(finding.code)) {
    case CountedAs::Check:
        tally.checksFailed += fails ? 1 : 0;
        tally.warnings += finding.outcome == Outcome::Warn ? 1 : 0;
        break;
    case CountedAs::Placement:
        tally.unsafe += fails ? 1 : 0;
        break;
    case CountedAs::EntryRun:
        ++tally.entriesRun;
        break;
    case CountedAs::EntrySkipped:
        ++tally.entriesSkipped;
        break;
    case CountedAs::WorkSetUnrun:
        ++tally.workSetsUnrun;
        break;
    case CountedAs::WorkSetKept:
        ++tally.workSetsKept;
        break;
    case CountedAs::WorkSetUnrunAndKept:
        ++tally.workSetsUnrun;
        ++tally.workSetsKept;
        break;
    case CountedAs::OtherView:
        ++tally.otherView;
        break;
    case CountedAs::KeyUnreadable:
        tally.keyUnreadable = true;
        break;
    case CountedAs::ArmingValue:
        ++tally.armingValues;
        break;
    case CountedAs::Nothing:
        break;
    }
}

static void Said(Tally& tally, int depth, const char* tag, const Finding& finding) {
    Count(tally, finding);
    if (JsonReportInUse()) {
        JsonFinding(finding);
        return;
    }
    std::string line(static_cast<size_t>(depth) * 2, ' ');
    line += tag;
    line += FindingText(finding);
    line += '\n';
    Emit(stdout, line.c_str());
}

void SayFinding(Tally& tally, int depth, const Finding& finding) {
    Said(tally, depth, TagOf(finding.outcome), finding);
}

void SayVerdict(Tally& tally, int depth, const Finding& finding) {
    Said(tally, depth, "", finding);
}

void Report(Tally& tally, int depth, const Findings& findings) {
    for (const Finding& finding : findings) {
        SayFinding(tally, depth, finding);
    }
}

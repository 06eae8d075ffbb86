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
    va_list arguments;
    va_start(arguments, format);
    SayList(depth, "", format, arguments);
    va_end(arguments);
}

const char* TagOf(Outcome outcome) {
    static const char* const kTags[] = {"ok   ", "FAIL ", "WARN "};
    return kTags[static_cast<int>(outcome)];
}

static const char* Tag(Tally& tally, Outcome outcome) {
    tally.checksFailed += outcome == Outcome::Fail ? 1 : 0;
    tally.warnings += outcome == Outcome::Warn ? 1 : 0;
    return TagOf(outcome);
}

void Check(Tally& tally, Outcome outcome, const char* format, ...) {
    const char* tag = Tag(tally, outcome);
    va_list arguments;
    va_start(arguments, format);
    // Check lines sit under their entry, which sits under its work set.
    SayList(2, tag, format, arguments);
    va_end(arguments);
}

void Report(Tally& tally, const Findings& findings) {
    for (const Finding& finding : findings) {
        Check(tally, finding.outcome, "%s", finding.text.c_str());
    }
}

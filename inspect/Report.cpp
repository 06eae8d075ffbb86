#include "inspect/Inspect.h"

#include <stdarg.h>
#include <stdio.h>

static void SayList(int depth, const char* tag, const char* format, va_list arguments) {
    for (int level = 0; level < depth; ++level) {
        fputs("  ", stdout);
    }
    fputs(tag, stdout);
    vprintf(format, arguments);
    fputc('\n', stdout);
}

void Say(int depth, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    SayList(depth, "", format, arguments);
    va_end(arguments);
}

// Check lines sit under their entry, which sits under its work set.
const int kCheckDepth = 2;

void CheckOk(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    SayList(kCheckDepth, "ok   ", format, arguments);
    va_end(arguments);
}

void CheckFailed(Tally& tally, const char* format, ...) {
    ++tally.checksFailed;
    va_list arguments;
    va_start(arguments, format);
    SayList(kCheckDepth, "FAIL ", format, arguments);
    va_end(arguments);
}

void CheckWarns(Tally& tally, const char* format, ...) {
    ++tally.warnings;
    va_list arguments;
    va_start(arguments, format);
    SayList(kCheckDepth, "WARN ", format, arguments);
    va_end(arguments);
}

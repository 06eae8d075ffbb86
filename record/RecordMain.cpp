// pendreg-record: the installer's side of the pending-registration contract.
// One verb per run: add, replace, arm, withdraw, discard, unregister, install or
// uninstall. Exit code 0: done; 2: refused or failed, with nothing changed.
#include "checks/OutputLog.h"
#include "checks/TypeLibraryProbe.h"
#include "record/Record.h"
#include "record/TurnLock.h"
#include "record/WorkSetWriter.h"
#include "record/Unregister.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

namespace {

const char kUsage[] =
    "usage: pendreg-record VERB [OPTION...] [OPERAND...]\n"
    "\n"
    "  add [--work-set=NAME] [--view=32|64] [--kind=D|DX|E|T] [--tool=PATH] FILE...\n"
    "      record one entry per file, in the order given, after those the work set\n"
    "      holds; without --work-set a new work set is made and its name printed.\n"
    "      The kind is picked from each file unless --kind names it. Every file is\n"
    "      checked first: one that fails refuses them all, and nothing is written.\n"
    "  replace [--work-set=NAME] NEW TARGET\n"
    "      copy NEW beside TARGET, then put it in TARGET's place: at once when it\n"
    "      can be, otherwise at the next restart\n"
    "  arm [--work-set=NAME] [--name=NAME] [--tool=PATH]\n"
    "      copy the tool (default: pendreg.exe beside this program) into a new\n"
    "      folder under the Windows folder's Temp and have the next logon start it\n"
    "      with /S (a RunOnce value --name, default: pendreg); nothing is done when\n"
    "      one already starts a copy of the tool with /S that only administrators\n"
    "      may change\n"
    "  withdraw [--work-set=NAME] [TARGET]\n"
    "      take back a new version that replace left waiting for the restart for\n"
    "      the same --work-set: its pending move onto TARGET (onto any target,\n"
    "      without one) and its copy; TARGET stays as it is now\n"
    "  discard --work-set=NAME [--view=32|64] [--name=NAME]\n"
    "      delete a work set, for an installer that rolls back or is removed;\n"
    "      also every RunOnce value and copy of the tool that arm made and that\n"
    "      nothing needs any more (--name is accepted and not needed)\n"
    "  unregister --work-set=NAME [--view=32|64]\n"
    "      take back what the pass registered for the work set: an uninstall's\n"
    "      first step, while the files are there\n"
    "  install --work-set=NAME [--view=32|64] [--name=NAME] [--replace=NEW|TARGET]...\n"
    "          FILE...\n"
    "      replace, arm, add, then inspect, as one: a failure takes back this run\n"
    "  uninstall --work-set=NAME [--view=32|64] [--name=NAME] [--replace=NEW|TARGET]...\n"
    "      unregister, withdraw and discard, as one\n"
    "  --format=json (with any verb)\n"
    "      write one JSON document on standard output instead of the lines\n"
    "  --log=FILE (with any verb)\n"
    "      also append the command line, the time, every line printed and the\n"
    "      exit code to FILE, made so that only administrators may change it; an\n"
    "      existing FILE that others may change is not written to (the verb is\n"
    "      done all the same)\n"
    "  --help\n"
    "      print this text\n"
    "\n"
    "--view=32 (default): the shipped 32-bit tool, which reads the 32-bit registry\n"
    "view; --view=64: a tool built for x86_64. --tool for add: the tool whose own\n"
    "child the D and T command lines name (default: the copy that an armed RunOnce\n"
    "value starts, otherwise pendreg.exe beside this program).\n"
    "--work-set names the product for every verb: each undo takes back only what\n"
    "the verbs did for the same name, as the record under\n"
    "HKLM\\Software\\pendreg-record notes it. Nothing there to discard, withdraw or\n"
    "unregister is done too.\n"
    "Exit code: 0 done; 2 refused or failed, with nothing changed.\n";

// The options a verb takes, as bits.
enum : unsigned {
    kWorkSet = 1,
    kView = 2,
    kKind = 4,
    kName = 8,
    kTool = 16,
    kReplace = 32,
};

struct Verb {
    const wchar_t* name;
    int (*run)(const Arguments&);
    unsigned options;
    // The options it cannot do without.
    unsigned required;
    // How many operands it takes.
    size_t fewest;
    size_t most;
};

const Verb kVerbs[] = {
    {L"add", AddVerb, kWorkSet | kView | kKind | kTool, 0, 1, static_cast<size_t>(-1)},
    {L"replace", ReplaceVerb, kWorkSet, 0, 2, 2},
    {L"arm", ArmVerb, kWorkSet | kName | kTool, 0, 0, 0},
    {L"withdraw", WithdrawVerb, kWorkSet, 0, 0, 1},
    {L"discard", DiscardVerb, kWorkSet | kView | kName, kWorkSet, 0, 0},
    {L"unregister", UnregisterVerb, kWorkSet | kView, kWorkSet, 0, 0},
    {L"install", InstallVerb, kWorkSet | kView | kName | kReplace, kWorkSet, 1,
     static_cast<size_t>(-1)},
    {L"uninstall", UninstallVerb, kWorkSet | kView | kName | kReplace, kWorkSet, 0, 0},
};

struct Option {
    const wchar_t* prefix;
    unsigned bit;
    std::wstring Arguments::*field;
};

const Option kOptions[] = {
    {L"--work-set=", kWorkSet, &Arguments::workSet},
    {L"--kind=", kKind, &Arguments::kind},
    {L"--name=", kName, &Arguments::name},
    {L"--tool=", kTool, &Arguments::tool},
};

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// Takes one option into arguments; false, complained, when the verb does not
// take it or its value is not one it can have.
bool TakeOption(const Verb& verb, const wchar_t* argument, Arguments* arguments) {
    if ((verb.options & kView) != 0 && wcscmp(argument, L"--view=32") == 0) {
        arguments->toolBits = 32;
        return true;
    }
    if ((verb.options & kView) != 0 && wcscmp(argument, L"--view=64") == 0) {
        arguments->toolBits = 64;
        return true;
    }
    const wchar_t kReplacePrefix[] = L"--replace=";
    if ((verb.options & kReplace) != 0 && StartsWith(argument, kReplacePrefix) &&
        argument[wcslen(kReplacePrefix)] != L'\0') {
        arguments->replacements.push_back(argument + wcslen(kReplacePrefix));
        return true;
    }
    for (const Option& option : kOptions) {
        if ((verb.options & option.bit) == 0 || !StartsWith(argument, option.prefix)) {
            continue;
        }
        const wchar_t* value = argument + wcslen(option.prefix);
        if (*value == L'\0') {
            break;
        }
        arguments->*option.field = value;
        return true;
    }
    Complain("%s: unknown option: %s", ReportText(verb.name).c_str(), ReportText(argument).c_str());
    return false;
}

bool ParseArguments(const Verb& verb, int argc, wchar_t** argv, Arguments* arguments) {
    bool optionsEnd = false;
    for (int index = 2; index < argc; ++index) {
        const wchar_t* argument = argv[index];
        if (!optionsEnd && wcscmp(argument, L"--") == 0) {
            optionsEnd = true;
        } else if (!optionsEnd && argument[0] == L'-' && argument[1] == L'-') {
            if (!TakeOption(verb, argument, arguments)) {
                return false;
            }
        } else {
            arguments->operands.push_back(argument);
        }
    }
    size_t count = arguments->operands.size();
    if (count < verb.fewest || count > verb.most) {
        Complain("%s: %s", ReportText(verb.name).c_str(),
                 count < verb.fewest ? "too few operands" : "too many operands");
        return false;
    }
    if ((verb.required & kWorkSet) != 0 && arguments->workSet.empty()) {
        Complain("%s: --work-set=NAME is needed", ReportText(verb.name).c_str());
        return false;
    }
    // The name keys the product's record as much as its work set.
    std::string ansi;
    if (!arguments->workSet.empty() && !WorkSetName(arguments->workSet, &ansi)) {
        return false;
    }
    if (!arguments->kind.empty() && arguments->kind != L"D" && arguments->kind != L"DX" &&
        arguments->kind != L"E" && arguments->kind != L"T") {
        Complain("%s: --kind is D, DX, E or T, not %s", ReportText(verb.name).c_str(),
                 ReportText(arguments->kind).c_str());
        return false;
    }
    return true;
}

// A recorder that holds the turn longer than this is stuck.
const DWORD kTurnWaitMs = 5 * 60 * 1000;

// False, complained, when the turn could not be had.
bool TakeTurn(TurnLock& lock) {
    DWORD error = ERROR_SUCCESS;
    switch (lock.Take(kTurnWaitMs, &error)) {
    case TurnTaken::Taken:
        return true;
    case TurnTaken::Busy:
        Complain("another recorder has been at work for %lu minutes; nothing done",
                 kTurnWaitMs / 60000);
        return false;
    case TurnTaken::Denied:
        Complain("cannot take turns with other recorders: only an administrator may open %s "
                 "(error %lu); run the installer elevated",
                 ReportText(TurnLockPath()).c_str(), error);
        return false;
    case TurnTaken::Failed:
        break;
    }
    Complain("cannot take turns with other recorders: %s cannot be opened (error %lu)",
             ReportText(TurnLockPath()).c_str(), error);
    return false;
}

// The usage goes with every complaint about the command line itself.
int Misused() {
    Emit(stderr, kUsage);
    return kExitRefused;
}

} // namespace

// The text that the format makes, for the JSON document.
static std::string Formatted(const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(nullptr, 0, format, arguments);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

void Complain(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (JsonReportInUse()) {
        JsonComplained("pendreg-record: " + Formatted(format, arguments));
        va_end(arguments);
        return;
    }
    // Whatever was printed before comes first in the log, as on a console.
    fflush(stdout);
    Emit(stderr, "pendreg-record: ");
    EmitList(stderr, format, arguments);
    Emit(stderr, "\n");
    va_end(arguments);
}

void Print(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (JsonReportInUse()) {
        JsonPrinted(Formatted(format, arguments));
    } else {
        EmitList(stdout, format, arguments);
    }
    va_end(arguments);
}

namespace {

int RunVerb(int argc, wchar_t** argv) {
    // The checks load a type library in a copy of this program.
    int probeExit = 0;
    if (RunTypeLibraryProbeIfAsked(&probeExit)) {
        return probeExit;
    }
    // unregister takes back a DLL or type library in a copy of this program,
    // which must not wait for the turn its parent holds.
    if (RunUnregistrationIfAsked(&probeExit)) {
        return probeExit;
    }
    if (argc >= 2 && wcscmp(argv[1], L"--help") == 0) {
        Emit(stdout, kUsage);
        return kExitDone;
    }
    if (argc < 2) {
        Complain("no verb given");
        return Misused();
    }
    // No message boxes for a file that cannot be read.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    for (const Verb& verb : kVerbs) {
        if (wcscmp(argv[1], verb.name) != 0) {
            continue;
        }
        Arguments arguments;
        if (!ParseArguments(verb, argc, argv, &arguments)) {
            return Misused();
        }
        // The turn is held until the verb's output is out.
        TurnLock turn;
        if (!TakeTurn(turn)) {
            return kExitRefused;
        }
        int status = verb.run(arguments);
        fflush(stdout);
        return status;
    }
    Complain("unknown verb: %s", ReportText(argv[1]).c_str());
    return Misused();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring logPath;
    std::string logError;
    // The verb and its exit code do not depend on the log: an installer's
    // step that is done must not be taken for one refused.
    if (TakeLogOption(&argc, argv, &logPath) &&
        !OpenOutputLog(logPath, {TurnLockPath()}, &logError)) {
        Complain("log %s: %s; no log is written", ReportText(logPath).c_str(), logError.c_str());
    }
    bool json = TakeFormatOption(&argc, argv);
    int status = RunVerb(argc, argv);
    if (json) {
        WriteJsonReport(status);
    }
    fflush(stdout);
    CloseOutputLog(status);
    return status;
}

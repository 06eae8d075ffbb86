// pendreg-record: the installer's side of the pending-registration contract.
// One verb per run: add, replace, arm, withdraw, discard, unregister, install or
// uninstall. Exit code 0: done; 2: refused or failed, with nothing changed.
#include "companion/OutputLog.h"
#include "checks/image/TypeLibraryProbe.h"
#include "companion/FrontEnd.h"
#include "record/Record.h"
#include "record/TurnLock.h"
#include "record/Unregister.h"
#include "record/WorkSetWriter.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include <iterator>

namespace {

const OptionBit kAddOptions[] = {kWorkSetOption, kViewOption, kKindOption, kToolOption};
const OptionBit kWorkSetOnly[] = {kWorkSetOption};
const OptionBit kArmOptions[] = {kWorkSetOption, kNameOption, kToolOption};
const OptionBit kDiscardOptions[] = {kWorkSetOption, kViewOption, kNameOption};
const OptionBit kUnregisterOptions[] = {kWorkSetOption, kViewOption};
const OptionBit kInstallOptions[] = {kWorkSetOption, kViewOption, kNameOption, kReplaceOption};

const size_t kAny = static_cast<size_t>(-1);

const Verb kVerbs[] = {
    {L"add", kAddOptions, std::size(kAddOptions), 0, "FILE...", 1, kAny,
     "      record one entry per file, in the order given, after those the work set\n"
     "      holds; without --work-set a new work set is made and its name printed.\n"
     "      The kind is picked from each file unless --kind names it. Every file is\n"
     "      checked first: one that fails refuses them all, and nothing is written.\n",
     AddVerb},
    {L"replace", kWorkSetOnly, std::size(kWorkSetOnly), 0, "NEW TARGET", 2, 2,
     "      copy NEW beside TARGET, then put it in TARGET's place: at once when it\n"
     "      can be, otherwise at the next restart\n",
     ReplaceVerb},
    {L"arm", kArmOptions, std::size(kArmOptions), 0, "", 0, 0,
     "      copy the tool (default: pendreg.exe beside this program) into a new\n"
     "      folder under the Windows folder's Temp and have the next logon start it\n"
     "      with /S (a RunOnce value --name, default: pendreg); nothing is done when\n"
     "      one already starts a copy of the tool with /S that only administrators\n"
     "      may change\n",
     ArmVerb},
    {L"withdraw", kWorkSetOnly, std::size(kWorkSetOnly), 0, "[TARGET]", 0, 1,
     "      take back a new version that replace left waiting for the restart for\n"
     "      the same --work-set: its pending move onto TARGET (onto any target,\n"
     "      without one) and its copy; TARGET stays as it is now\n",
     WithdrawVerb},
    {L"discard", kDiscardOptions, std::size(kDiscardOptions), kWorkSetOption, "", 0, 0,
     "      delete a work set, for an installer that rolls back or is removed;\n"
     "      also every RunOnce value and copy of the tool that arm made and that\n"
     "      nothing needs any more (--name is accepted and not needed)\n",
     DiscardVerb},
    {L"unregister", kUnregisterOptions, std::size(kUnregisterOptions), kWorkSetOption, "", 0, 0,
     "      take back what the pass registered for the work set: an uninstall's\n"
     "      first step, while the files are there\n",
     UnregisterVerb},
    {L"install", kInstallOptions, std::size(kInstallOptions), kWorkSetOption, "FILE...", 1, kAny,
     "      replace, arm, add, then inspect, as one: a failure takes back this run\n", InstallVerb},
    {L"uninstall", kInstallOptions, std::size(kInstallOptions), kWorkSetOption, "", 0, 0,
     "      unregister, withdraw and discard, as one\n", UninstallVerb},
};

const char kAbout[] =
    "  --format=json (with any verb)\n"
    "      write one JSON document on standard output instead of the lines\n"
    "  --log=FILE (with any verb)\n"
    "      also append the command line, the time, every line printed and the\n"
    "      exit code to FILE, made so that only administrators may change it; an\n"
    "      existing FILE that others may change is not written to (the verb is\n"
    "      done all the same)\n"
    "  --help\n"
    "      print this text\n"
    "  --version\n"
    "      print the version\n"
    "\n"
    "--view=32 (default): the shipped 32-bit tool, which reads the 32-bit registry\n"
    "view; --view=64: a tool built for x86_64. --tool for add: the tool whose own\n"
    "child the D and T command lines name (default: the copy that an armed RunOnce\n"
    "value starts, otherwise pendreg.exe beside this program).\n"
    "--work-set names the product for every verb: each undo takes back only what\n"
    "the verbs did for the same name, as the record under\n"
    "HKLM\\Software\\pendreg-record notes it. Nothing there to discard, withdraw or\n"
    "unregister is done too.\n"
    "Exit code: 0 done; 2 refused or failed, with nothing changed; 3 out of memory\n"
    "or an internal error.\n";

// Appending to the recorders' lock would hold it against the recorder's own
// turn.
std::vector<std::wstring> ReservedFromLog() {
    return {TurnLockPath()};
}

// With --format=json, the document of what the verb did.
void FinishReport(int exitCode) {
    if (JsonReportInUse()) {
        WriteJsonReport(exitCode);
    }
}

const Program kRecorder = {"pendreg-record", kVerbs,          std::size(kVerbs),
                           kAbout,           ReservedFromLog, FinishReport};

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

// Every verb runs with the turn held until its output is out.
int StartVerb(const Verb& verb, const Arguments& arguments) {
    // No message boxes for a file that cannot be read.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    TurnLock turn;
    if (!TakeTurn(turn)) {
        return kExitRefused;
    }
    int status = verb.run(arguments);
    fflush(stdout);
    return status;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
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
    // Taken before the others, so that the document holds every line said.
    TakeFormatOption(&argc, argv);
    return RunCompanion(kRecorder, argc, argv, StartVerb);
}

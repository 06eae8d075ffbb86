// pendreg-inspect: says what the next "/S" pass will do with the registrations
// recorded under the pending key, before anything runs. Exit code 0: the pass
// will do all it was asked: every entry runs, every work set goes, no check
// failed, nothing that runs can be changed by ordinary users and a RunOnce
// value starts the pass (warnings may be printed); 1: it will not, or, with
// --strict, a warning was printed; 2: nothing could be inspected.
#include "inspect/Inspect.h"

#include "checks/arming/Arming.h"
#include "checks/loader/Dependencies.h"
#include "companion/OutputLog.h"
#include "checks/image/TypeLibraryProbe.h"
#include "companion/FrontEnd.h"
#include "companion/ToolChoice.h"
#include "pending/Launcher.h"
#include "pending/PendingStore.h"
#include "record/ProductRecord.h"
#include "checks/trust/AccessList.h"

#include <stdio.h>
#include <string.h>

#include <iterator>

namespace {

const OptionBit kInspectOptions[] = {kViewOption,   kToolOption, kWorkSetOption,
                                     kStrictOption, kLogOption,  kFormatOption};

const char kAbout[] =
    "\n"
    "Says what the next \"pendreg.exe /S\" will do with the registrations recorded\n"
    "under HKLM\\Software\\Zelk.Library.Cormant.v3, before anything runs. Reads only.\n"
    "\n"
    "  --view=32    (default) the shipped tool, which is 32-bit and reads the 32-bit\n"
    "               registry view\n"
    "  --view=64    a tool built for x86_64 (the test build): the 64-bit view\n"
    "  --tool=PATH  the tool that \"/S\" will run (default: the copy that an armed\n"
    "               RunOnce value starts, otherwise pendreg.exe beside this program)\n"
    "  --work-set=NAME  judge that work set only, with what it needs to run (the\n"
    "               RunOnce value and the tool); other work sets do not count, and\n"
    "               one that is neither recorded nor run by a pass fails\n"
    "  --strict     warnings make the exit code 1 too\n"
    "  --log=FILE   also append the command line, the time, every line printed and\n"
    "               the exit code to FILE, made so that only administrators may\n"
    "               change it\n"
    "  --format=json  write one JSON document instead of the lines\n"
    "  --help       print this text\n"
    "  --version    print the version\n"
    "\n"
    "Exit code: 0 the pass will do all that is recorded (read the warnings, if any),\n"
    "or nothing is recorded and nothing armed;\n"
    "1 it will not, or nothing starts it (with --strict, also any warning); 2 nothing\n"
    "could be inspected; 3 out of memory or an internal error.\n";

int InspectAll(const Arguments& arguments);

// One verb without a name.
const Verb kInspect = {
    nullptr,
    kInspectOptions,
    std::size(kInspectOptions),
    0,  // nothing required
    "", // no operands
    0,
    0,
    "", // the options' help is in kAbout
    InspectAll,
};

const Program kInspector = {"pendreg-inspect", &kInspect, 1, kAbout, nullptr};

// The path in the pass's own buffer, as the pass will have it; false when
// the ANSI code page cannot hold it in that room.
bool ToPassBuffer(const std::wstring& path, char (&buffer)[kPathBufferSize]) {
    std::string ansi;
    if (!ToAnsi(path, &ansi) || ansi.size() >= sizeof(buffer)) {
        return false;
    }
    memcpy(buffer, ansi.c_str(), ansi.size() + 1);
    return true;
}

// The tool as ChooseTool takes it, in the pass's buffer: the pass cannot
// start its own child from a path that does not fit there, so --tool is
// refused then; an armed copy that does not fit is passed over for the tool
// beside the inspector. False, said, when there is no tool to name.
bool TakeTool(const ToolChoice& choice, InspectOptions* options) {
    if (choice.from == ToolFrom::Given) {
        std::string ansi;
        if (!ToAnsi(choice.path, &ansi)) {
            EmitFormat(stderr,
                       "pendreg-inspect: tool %s: its path cannot be had through the ANSI code "
                       "page in %d bytes\n",
                       ReportText(choice.path).c_str(), kPathBufferSize);
            return false;
        }
        if (!ToPassBuffer(choice.path, options->toolPath)) {
            Emit(stderr, "pendreg-inspect: the tool's path is too long\n");
            return false;
        }
        return true;
    }
    if (choice.from == ToolFrom::ArmedCopy && ToPassBuffer(choice.path, options->toolPath)) {
        options->toolChosen = "the copy that the RunOnce value \"" +
                              ReportText(choice.taken.value.name) + "\" starts";
        return true;
    }
    options->toolChosen = "beside the inspector: no RunOnce value starts a copy of it";
    if (!ToPassBuffer(ToolBesideThisProgram(), options->toolPath)) {
        Emit(stderr, "pendreg-inspect: cannot find its own folder\n");
        return false;
    }
    return true;
}

// Where the inspector's Unicode arguments meet the pass's ANSI code: the
// work set's name and the tool's path end up in its char buffers. False,
// with the reason on standard error, when there is nothing to inspect with.
bool TakeArguments(const Arguments& arguments, InspectOptions* options) {
    options->files.toolBits = arguments.toolBits;
    options->strict = arguments.strict;
    options->json = arguments.json;
    // The front end has refused a name that the code page cannot hold.
    ToAnsi(arguments.workSet, &options->workSet);
    if (!GetSystemPath(options->systemDirectory)) {
        Emit(stderr, "pendreg-inspect: cannot find the system directory\n");
        return false;
    }
    // One reading of the renames serves every check, the choice of the tool
    // among them.
    options->files.renames = ReadPendingRenames();
    if (!TakeTool(ChooseTool(arguments.tool, options->files.renames), options)) {
        return false;
    }
    options->files.toolPath = AnsiToWide(options->toolPath);
    return true;
}

// Whether the pending key is missing, as opposed to there but unreadable: a
// key can be opened asking for no access at all when it exists.
bool PendingKeyMissing(REGSAM view) {
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, 0, view, &key);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return status == ERROR_FILE_NOT_FOUND;
}

// Work sets recorded in the view the tool does not read: the usual mistake
// of a 64-bit installer.
void InspectOtherView(const InspectOptions& options, Tally& tally) {
    if (!RegistryHasTwoViews()) {
        return;
    }
    int otherBits = options.files.toolBits == 64 ? 32 : 64;
    HKEY key;
    if (!OpenPendingKey(ViewOfTool(otherBits), &key)) {
        return;
    }
    char name[kPathBufferSize];
    for (DWORD index = 0; FindWorkSet(key, index, name); ++index) {
        if (!Judged(options, AnsiToWide(name))) {
            continue;
        }
        SayVerdict(tally, 0, MakeFinding(FindingCode::OtherView, {Words(name), Number(otherBits)}));
    }
    RegCloseKey(key);
}

// The current folder that the dependency checks take for the pass: the
// loader searches it, and the pass's children inherit it.
void SayPassFolder(const PassFolder& pass) {
    Say(0,
        "deps: the pass's current folder is taken as %s, which the loader searches %s: the "
        "platform's documentation does not say which folder a program that a RunOnce value "
        "starts at logon gets; a pass started by other means (by hand, by an installer) "
        "searches the folder it was started in",
        ReportText(pass.folder).c_str(),
        pass.afterWindowsFolder ? "after the Windows folder"
                                : "straight after the first folder of each search "
                                  "(SafeDllSearchMode is 0)");
}

// A work set named but not there: the pass has carried it out when the
// recorder noted entries for it, which the pass leaves; otherwise it was never
// recorded, and whatever the installer meant to register never will be.
void JudgeWorkSetNotThere(const InspectOptions& options, Tally& tally) {
    if (!NotedEntries(AnsiToWide(options.workSet.c_str()), options.files.toolBits).empty()) {
        SayVerdict(tally, 0, MakeFinding(FindingCode::CarriedOut, {Words(options.workSet)}));
        return;
    }
    SayFinding(tally, 0, MakeFinding(FindingCode::NothingRecordedFor, {Words(options.workSet)}));
}

void SaySummary(const Tally& tally) {
    Say(0,
        "summary: work sets %u, entries run %u, entries skipped %u, work sets that run nothing "
        "%u, work sets that stay %u, checks failed %u, warnings %u, work sets in the other "
        "view %u, unsafe placements %u, RunOnce values that start the pass %u",
        tally.workSets, tally.entriesRun, tally.entriesSkipped, tally.workSetsUnrun,
        tally.workSetsKept, tally.checksFailed, tally.warnings, tally.otherView, tally.unsafe,
        tally.armingValues);
}

// Whether the pass will do all it was asked; warnings count only when
// strict, since each is something that may well be right.
bool AllClean(const Tally& tally, bool strict) {
    return !tally.keyUnreadable && tally.entriesSkipped == 0 && tally.workSetsUnrun == 0 &&
           tally.workSetsKept == 0 && tally.checksFailed == 0 && (!strict || tally.warnings == 0) &&
           tally.otherView == 0 && tally.unsafe == 0;
}

} // namespace

namespace {

int InspectAll(const Arguments& arguments) {
    InspectOptions options;
    if (!TakeArguments(arguments, &options)) {
        return kExitRefused;
    }
    // No message boxes for a file that cannot be read.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    PassFolder pass = PassCurrentFolder(options.files);
    if (options.json) {
        UseJsonReport();
        JsonHeader(options, pass, !PlatformAnswersForAnyPrincipal());
    }
    Say(0, "key: HKLM\\%s (%d-bit view)", PendingKeyPath, options.files.toolBits);
    Say(0, "tool: %s (%s%sits own child is a %d-bit process)", options.toolPath,
        options.toolChosen.c_str(), options.toolChosen.empty() ? "" : "; ", options.files.toolBits);
    SayPassFolder(pass);
    SayHowRightsAreRead();
    Tally tally;
    HKEY key;
    if (OpenPendingKey(ViewOfTool(options.files.toolBits), &key)) {
        std::string shown = std::string("HKLM\\") + PendingKeyPath;
        InspectKeySafety(key, "the pending key " + shown, shown, 0, tally);
        InspectWorkSets(key, options, tally);
        RegCloseKey(key);
        if (tally.workSetsKept != 0) {
            SayVerdict(tally, 0, MakeFinding(FindingCode::KeyStays));
        }
    } else if (PendingKeyMissing(ViewOfTool(options.files.toolBits))) {
        SayVerdict(tally, 0, MakeFinding(FindingCode::KeyMissing));
    } else {
        SayVerdict(tally, 0, MakeFinding(FindingCode::KeyUnreadable));
    }
    InspectOtherView(options, tally);
    if (!options.workSet.empty() && tally.workSets == 0 && tally.otherView == 0) {
        JudgeWorkSetNotThere(options, tally);
    } else {
        InspectArming(options, tally);
    }
    SaySummary(tally);
    int status = AllClean(tally, options.strict) ? kExitDone : kExitFindings;
    if (options.json) {
        WriteJsonReport(options, tally, status);
    }
    return status;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int probeExit = 0;
    if (RunTypeLibraryProbeIfAsked(&probeExit)) {
        return probeExit;
    }
    // The report goes out in blocks: written a character at a time, as the
    // run-time library writes an unbuffered stream, a work set of hundreds
    // of entries takes seconds.
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    return RunCompanion(kInspector, argc, argv, [](const Verb& verb, const Arguments& arguments) {
        return verb.run(arguments);
    });
}

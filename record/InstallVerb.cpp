// install: an install's steps as one change. An installer's engine that runs
// no rollback action (Wine's runs none) leaves whatever the steps before a
// failing one made, and the restart then carries it out: a staged new version
// takes its target's place and a pass registers what the failed install
// recorded. So the verb takes back what this run made when a step fails, and
// only that: a repair that fails leaves what the first install recorded.
#include "checks/Arming.h"
#include "checks/OutputLog.h"
#include "checks/RestartRenames.h"
#include "checks/Safety.h"
#include "record/Arm.h"
#include "record/ProductRecord.h"
#include "record/Record.h"
#include "record/WorkSetWriter.h"

#include <stdio.h>
#include <wchar.h>

namespace {

// No Windows path holds it, so NEW and TARGET need no quoting of their own.
const wchar_t kPairSeparator = L'|';
// An inspector that takes longer is stuck: a type library's own code hangs.
const DWORD kInspectionWaitMs = 10 * 60 * 1000;

// What lay there before this run, and what it made: the undo takes back the
// difference and nothing else.
struct Made {
    std::string workSet;
    bool workSetWasThere = false;
    DWORD countBefore = 0;
    std::vector<NewEntry> notedBefore;
    bool armed = false;
    bool added = false;
    // The targets this run staged a new version for.
    std::vector<std::wstring> staged;
    // Those of them for which an earlier new version waits too.
    std::vector<std::wstring> stagedBehind;
};

} // namespace

bool SplitReplacement(const std::wstring& given, std::wstring* fresh, std::wstring* target) {
    size_t separator = given.find(kPairSeparator);
    if (separator == std::wstring::npos || separator == 0 || separator + 1 == given.size()) {
        Complain("--replace=%s: give the new version and the target as NEW|TARGET",
                 ReportText(given).c_str());
        return false;
    }
    *fresh = given.substr(0, separator);
    *target = given.substr(separator + 1);
    return true;
}

namespace {

// The pending moves onto the target (a full path), from wherever: one more
// after replace is the new version this run staged.
unsigned MovesOnto(const std::wstring& target) {
    unsigned moves = 0;
    for (const StoredRename& pair : ReadStoredRenames()) {
        bool replace;
        std::wstring to = StoredRenamePath(pair.to, &replace);
        moves += !to.empty() && SamePath(to, target) ? 1 : 0;
    }
    return moves;
}

// Whether the RunOnce value of the name is there: arm writes it only when
// it arms, and leaves it alone when another value starts the pass already.
bool RunOnceThere(const std::wstring& name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS) {
        return false;
    }
    bool there = RegQueryValueExW(key, name.empty() ? L"pendreg" : name.c_str(), nullptr, nullptr,
                                  nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return there;
}

void NoteWhatIsThere(const Arguments& arguments, Made* made) {
    made->workSetWasThere = WorkSetCount(arguments.toolBits, made->workSet, &made->countBefore);
    made->armed = !RunOnceThere(arguments.name);
#ifdef PENDREG_PRODUCT_RECORD
    made->notedBefore = NotedEntries(arguments.workSet, arguments.toolBits);
#else
    // TODO(product record): with record/ProductRecord.cpp in the tree, build
    // with PENDREG_PRODUCT_RECORD: the entries noted for the product before
    // this run are kept here and put back by TakeBackEntries.
#endif
}

// The verb's own arguments with one operand, or two.
Arguments WithOperands(const Arguments& arguments, const std::wstring& first,
                       const std::wstring& second) {
    Arguments step = arguments;
    step.operands.clear();
    step.operands.push_back(first);
    if (!second.empty()) {
        step.operands.push_back(second);
    }
    return step;
}

bool ReplaceEach(const Arguments& arguments, Made* made) {
    for (const std::wstring& given : arguments.replacements) {
        std::wstring fresh;
        std::wstring target;
        SplitReplacement(given, &fresh, &target);
        target = FullPath(target);
        unsigned before = target.empty() ? 0 : MovesOnto(target);
        if (ReplaceVerb(WithOperands(arguments, fresh, target)) != kExitDone) {
            return false;
        }
        if (MovesOnto(target) > before) {
            made->staged.push_back(target);
            if (before != 0) {
                made->stagedBehind.push_back(target);
            }
        }
    }
    return true;
}

// The inspector beside the recorder, judging this product's work set alone,
// its lines on this run's output and in its log: its exit code, or
// kExitRefused when it could not be run to its end.
int Inspect(const Arguments& arguments) {
    std::wstring inspector = FolderOfPath(ToolBesideRecorder()) + L"\\pendreg-inspect.exe";
    const std::wstring& log = OutputLogPath();
    // A work set's name and the paths fit the registry's and MAX_PATH's limits.
    wchar_t line[4 * MAX_PATH];
    swprintf(line, ARRAYSIZE(line), L"\"%ls\" \"--work-set=%ls\" --view=%d%ls%ls%ls",
             inspector.c_str(), arguments.workSet.c_str(), arguments.toolBits,
             log.empty() ? L"" : L" \"--log=", log.c_str(), log.empty() ? L"" : L"\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    fflush(stdout);
    if (!CreateProcessW(inspector.c_str(), line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        Complain("%s: cannot be started: error %lu", ReportText(inspector).c_str(), GetLastError());
        return kExitRefused;
    }
    DWORD exitCode = kExitRefused;
    if (WaitForSingleObject(process.hProcess, kInspectionWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, kExitRefused);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

// The steps in their order; the name of the first that failed, or null.
const char* FailedStep(const Arguments& arguments, Made* made) {
    if (!ReplaceEach(arguments, made)) {
        return "replace";
    }
    if (ArmVerb(arguments) != kExitDone) {
        made->armed = false;
        return "arm";
    }
    made->armed = made->armed && RunOnceThere(arguments.name);
    if (AddVerb(arguments) != kExitDone) {
        return "add";
    }
    made->added = true;
    int inspected = Inspect(arguments);
    if (inspected != kExitDone) {
        Complain("the inspector ended with %d: the pass would not do all that is recorded",
                 inspected);
        return "the inspection";
    }
    return nullptr;
}

// The entries this run appended; the work set goes when this run made it.
bool TakeBackEntries(const Arguments& arguments, const Made& made) {
    bool undone = made.workSetWasThere
                      ? CutWorkSetBack(arguments.toolBits, made.workSet, made.countBefore)
                      : DeleteWorkSet(arguments.toolBits, made.workSet) != WorkSetDeletion::Failed;
#ifdef PENDREG_PRODUCT_RECORD
    undone = ForgetEntries(arguments.workSet, arguments.toolBits) &&
             NoteEntries(arguments.workSet, arguments.toolBits, made.notedBefore) && undone;
#else
    // TODO(product record): ForgetEntries(product, toolBits), then
    // NoteEntries(product, toolBits, made.notedBefore): the product's record
    // says again what it said before this run.
#endif
    return undone;
}

// In the reverse order of the steps. A new version staged behind an earlier
// one stays: withdraw takes back every new version waiting for the target,
// the earlier install's too, and this one, the same file again, only takes
// that one's place at the restart.
bool TakeBack(const Arguments& arguments, const Made& made) {
    // An add that fails writes nothing.
    bool undone = !made.added || TakeBackEntries(arguments, made);
    if (made.armed) {
        undone = DisarmWhenNothingRecorded(arguments.name) && undone;
    }
    for (const std::wstring& target : made.staged) {
        if (ContainsPath(made.stagedBehind, target)) {
            Print("kept: the new version staged for %s waits behind an earlier one\n",
                  ReportText(target).c_str());
        } else {
            undone = WithdrawVerb(WithOperands(arguments, target, L"")) == kExitDone && undone;
        }
    }
    return undone;
}

} // namespace

int InstallVerb(const Arguments& arguments) {
    Made made;
    std::wstring fresh;
    std::wstring target;
    for (const std::wstring& given : arguments.replacements) {
        if (!SplitReplacement(given, &fresh, &target)) {
            return kExitRefused;
        }
    }
    if (!WorkSetName(arguments.workSet, &made.workSet)) {
        return kExitRefused;
    }
    NoteWhatIsThere(arguments, &made);
    const char* step = FailedStep(arguments, &made);
    if (step == nullptr) {
        return kExitDone;
    }
    bool undone = TakeBack(arguments, made);
    Complain("install of \"%s\": %s failed; %s", made.workSet.c_str(), step,
             undone ? "what this run made is taken back, and what was there before stays"
                    : "what this run made could not all be taken back (the lines above say what "
                      "is left)");
    return kExitRefused;
}

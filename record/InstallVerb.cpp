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

namespace {

// No Windows path holds it, so NEW and TARGET need no quoting of their own.
const wchar_t kPairSeparator = L'|';
// An inspector that takes longer is stuck: a type library's own code hangs.
const DWORD kInspectionWaitMs = 10 * 60 * 1000;

struct Replacement {
    std::wstring fresh;
    std::wstring target;
};

// What lay there before this run, and what it made: the undo takes back the
// difference and nothing else.
struct Made {
    std::string workSet;
    bool workSetWasThere = false;
    DWORD countBefore = 0;
    std::vector<NewEntry> notedBefore;
    bool armedBefore = false;
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

bool TakeReplacements(const Arguments& arguments, std::vector<Replacement>* pairs) {
    for (const std::wstring& given : arguments.replacements) {
        Replacement pair;
        if (!SplitReplacement(given, &pair.fresh, &pair.target)) {
            return false;
        }
        pairs->push_back(pair);
    }
    return true;
}

// The arguments of one step, for the product this run works for.
Arguments StepArguments(const Arguments& arguments, std::vector<std::wstring> operands) {
    Arguments step;
    step.workSet = arguments.workSet;
    step.toolBits = arguments.toolBits;
    step.name = arguments.name;
    step.operands = std::move(operands);
    return step;
}

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

bool ArmedNow() {
    ArmedCopy taken;
    return FindArmedCopy(JudgeArmedCopies(ToolBesideRecorder(), ReadPendingRenames()), &taken);
}

void NoteWhatIsThere(const Arguments& arguments, Made* made) {
    made->workSetWasThere = WorkSetCount(arguments.toolBits, made->workSet, &made->countBefore);
    made->armedBefore = ArmedNow();
#ifdef PENDREG_PRODUCT_RECORD
    made->notedBefore = NotedEntries(arguments.workSet, arguments.toolBits);
#else
    // TODO(product record): with record/ProductRecord.cpp in the tree, build
    // with PENDREG_PRODUCT_RECORD: the entries noted for the product before
    // this run are kept here and put back by TakeBackEntries.
#endif
}

bool ReplaceEach(const Arguments& arguments, const std::vector<Replacement>& pairs, Made* made) {
    for (const Replacement& pair : pairs) {
        std::wstring target = FullPath(pair.target);
        unsigned before = target.empty() ? 0 : MovesOnto(target);
        if (ReplaceVerb(StepArguments(arguments, {pair.fresh, pair.target})) != kExitDone) {
            return false;
        }
        if (MovesOnto(target) > before) {
            made->staged.push_back(pair.target);
            if (before != 0) {
                made->stagedBehind.push_back(pair.target);
            }
        }
    }
    return true;
}

std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    for (wchar_t character : argument) {
        quoted += character == L'"' ? L"\\\"" : std::wstring(1, character);
    }
    return quoted + L"\"";
}

// Everything the child prints reaches this run's output, and so its log.
void PassOn(HANDLE output) {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(output, chunk, sizeof(chunk) - 1, &got, nullptr) && got != 0) {
        chunk[got] = '\0';
        Emit(stdout, chunk);
    }
}

// The inspector beside the recorder, judging this product's work set alone:
// its exit code, or kExitRefused when it could not be run to its end.
int Inspect(const Arguments& arguments) {
    std::wstring inspector = FolderOfPath(ToolBesideRecorder()) + L"\\pendreg-inspect.exe";
    std::wstring line = Quoted(inspector) + L" --view=" + std::to_wstring(arguments.toolBits) +
                        L" " + Quoted(L"--work-set=" + arguments.workSet);
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    if (!CreatePipe(&reading, &writing, &inherited, 0)) {
        Complain("the inspector's output cannot be read: error %lu", GetLastError());
        return kExitRefused;
    }
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writing;
    startup.hStdError = writing;
    PROCESS_INFORMATION process = {};
    fflush(stdout);
    BOOL started = CreateProcessW(inspector.c_str(), &line[0], nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    DWORD error = GetLastError();
    CloseHandle(writing);
    if (!started) {
        CloseHandle(reading);
        Complain("%s: cannot be started: error %lu", ReportText(inspector).c_str(), error);
        return kExitRefused;
    }
    PassOn(reading);
    CloseHandle(reading);
    DWORD exitCode = kExitRefused;
    if (WaitForSingleObject(process.hProcess, kInspectionWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, kExitRefused);
        Complain("%s: did not end within %lu minutes", ReportText(inspector).c_str(),
                 kInspectionWaitMs / 60000);
    } else {
        GetExitCodeProcess(process.hProcess, &exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

// The steps in their order; false at the first that failed, whose name step
// receives.
bool RunSteps(const Arguments& arguments, const std::vector<Replacement>& pairs, Made* made,
              const char** step) {
    *step = "replace";
    if (!ReplaceEach(arguments, pairs, made)) {
        return false;
    }
    *step = "arm";
    if (ArmVerb(StepArguments(arguments, {})) != kExitDone) {
        return false;
    }
    made->armed = !made->armedBefore;
    *step = "add";
    if (AddVerb(StepArguments(arguments, arguments.operands)) != kExitDone) {
        return false;
    }
    made->added = true;
    *step = "the inspection";
    int inspected = Inspect(arguments);
    if (inspected != kExitDone) {
        Complain("the inspector ended with %d: the pass would not do all that is recorded",
                 inspected);
        return false;
    }
    return true;
}

// The entries this run appended; the work set goes when this run made it.
bool TakeBackEntries(const Arguments& arguments, const Made& made) {
    bool undone = true;
    if (!made.workSetWasThere) {
        undone = DeleteWorkSet(arguments.toolBits, made.workSet) != WorkSetDeletion::Failed;
    } else {
        DWORD count = 0;
        if (WorkSetCount(arguments.toolBits, made.workSet, &count) && count > made.countBefore) {
            undone = CutWorkSetBack(arguments.toolBits, made.workSet, made.countBefore);
        }
    }
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

// A new version staged behind an earlier one stays: withdraw takes back every
// new version waiting for the target, the earlier install's too, and this
// one, the same file again, only takes that one's place at the restart.
bool TakeBackStaged(const Arguments& arguments, const Made& made) {
    bool undone = true;
    for (const std::wstring& target : made.staged) {
        if (ContainsPath(made.stagedBehind, target)) {
            Print("kept: the new version staged for %s waits behind an earlier one, which "
                  "withdraw would take back too\n",
                  ReportText(target).c_str());
            continue;
        }
        undone = WithdrawVerb(StepArguments(arguments, {target})) == kExitDone && undone;
    }
    return undone;
}

// In the reverse order of the steps.
bool TakeBack(const Arguments& arguments, const Made& made) {
    // An add that fails writes nothing.
    bool undone = !made.added || TakeBackEntries(arguments, made);
    if (made.armed) {
        undone = DisarmWhenNothingRecorded(arguments.name) && undone;
    }
    return TakeBackStaged(arguments, made) && undone;
}

} // namespace

int InstallVerb(const Arguments& arguments) {
    Made made;
    std::vector<Replacement> pairs;
    if (!WorkSetName(arguments.workSet, &made.workSet) || !TakeReplacements(arguments, &pairs)) {
        return kExitRefused;
    }
    NoteWhatIsThere(arguments, &made);
    const char* step = nullptr;
    if (RunSteps(arguments, pairs, &made, &step)) {
        return kExitDone;
    }
    bool undone = TakeBack(arguments, made);
    Complain("install of \"%s\": %s failed; %s", made.workSet.c_str(), step,
             undone ? "what this run made is taken back, and what was there before stays"
                    : "what this run made could not all be taken back (the lines above say what "
                      "is left)");
    return kExitRefused;
}

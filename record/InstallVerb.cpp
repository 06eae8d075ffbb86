// install: an install's steps as one change. An installer's engine that runs
// no rollback action (Wine's runs none) leaves whatever the steps before a
// failing one made, and the restart then carries it out: a staged new version
// takes its target's place and a pass registers what the failed install
// recorded. So the verb takes back what this run made when a step fails, and
// only that: a repair that fails leaves what the first install recorded.
#include "checks/arming/Arming.h"
#include "checks/paths/PathNames.h"
#include "checks/renames/RestartRenames.h"
#include "companion/OutputLog.h"
#include "record/Arm.h"
#include "record/ProductRecord.h"
#include "companion/ToolChoice.h"
#include "record/Record.h"
#include "record/Staging.h"
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
    bool added = false;
    // The keys of the staged copies that the record noted before this run.
    std::vector<std::wstring> stagedBefore;
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

void NoteWhatIsThere(const Arguments& arguments, Made* made) {
    made->workSetWasThere = WorkSetCount(arguments.toolBits, made->workSet, &made->countBefore);
    made->notedBefore = NotedEntries(arguments.workSet, arguments.toolBits);
    for (const StagedCopy& copy : NotedStaged(arguments.workSet)) {
        made->stagedBefore.push_back(copy.key);
    }
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

bool ReplaceEach(const Arguments& arguments) {
    for (const std::wstring& given : arguments.replacements) {
        std::wstring fresh;
        std::wstring target;
        SplitReplacement(given, &fresh, &target);
        if (ReplaceVerb(WithOperands(arguments, fresh, target)) != kExitDone) {
            return false;
        }
    }
    return true;
}

// A file for the inspector's JSON document, deleted when closed; the
// recorder's handle is the child's standard output.
HANDLE DocumentFile() {
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"pri", 0, path) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    return CreateFileW(
        path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// Takes the document the inspector wrote into the recorder's, and closes it.
void CloseDocument(HANDLE document) {
    if (document == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    SetFilePointer(document, 0, nullptr, FILE_BEGIN);
    while (ReadFile(document, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        text.append(buffer, read);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    JsonInspection(text);
    CloseHandle(document);
}

// The inspector beside the recorder, judging this product's work set alone,
// its lines on this run's output and in its log: its exit code, or
// kExitRefused when it could not be run to its end.
int Inspect(const Arguments& arguments) {
    std::wstring inspector = FolderOfPath(ToolBesideThisProgram()) + L"\\pendreg-inspect.exe";
    const std::wstring& log = OutputLogPath();
    // A work set's name and the paths fit the registry's and MAX_PATH's limits.
    wchar_t line[4 * MAX_PATH];
    bool json = JsonReportInUse();
    swprintf(line, ARRAYSIZE(line), L"\"%ls\" \"--work-set=%ls\" --view=%d%ls%ls%ls%ls",
             inspector.c_str(), arguments.workSet.c_str(), arguments.toolBits,
             log.empty() ? L"" : L" \"--log=", log.c_str(), log.empty() ? L"" : L"\"",
             json ? L" --format=json" : L"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    // The inspector's document goes into the recorder's, not beside it.
    HANDLE document = json ? DocumentFile() : INVALID_HANDLE_VALUE;
    if (document != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = document;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    fflush(stdout);
    if (!CreateProcessW(inspector.c_str(), line, nullptr, nullptr, document != INVALID_HANDLE_VALUE,
                        0, nullptr, nullptr, &startup, &process)) {
        Complain("%s: cannot be started: error %lu", ReportText(inspector).c_str(), GetLastError());
        CloseDocument(document);
        return kExitRefused;
    }
    DWORD exitCode = kExitRefused;
    if (WaitForSingleObject(process.hProcess, kInspectionWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, kExitRefused);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseDocument(document);
    return static_cast<int>(exitCode);
}

// The steps in their order; the name of the first that failed, or null.
const char* FailedStep(const Arguments& arguments, Made* made) {
    if (!ReplaceEach(arguments)) {
        return "replace";
    }
    if (ArmVerb(arguments) != kExitDone) {
        return "arm";
    }
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
    // The record says again what it said before this run.
    undone = ForgetEntries(arguments.workSet, arguments.toolBits) &&
             (made.notedBefore.empty() ||
              NoteEntries(arguments.workSet, arguments.toolBits, made.notedBefore)) &&
             undone;
    return undone;
}

// In the reverse order of the steps: the entries, then the arming, which
// this product relies on no more when it has no work set left and which
// goes when nothing else needs it, then the new versions this run staged,
// and only those: an earlier install's wait for the same targets.
bool TakeBack(const Arguments& arguments, const Made& made) {
    // An add that fails writes nothing.
    bool undone = !made.added || TakeBackEntries(arguments, made);
    if (!WorkSetRecorded(32, made.workSet) && !WorkSetRecorded(64, made.workSet)) {
        undone = ForgetReliance(arguments.workSet) && undone;
    }
    undone = TakeBackUnneededArmings(false) && undone;
    std::vector<std::wstring> madeNow;
    for (const StagedCopy& copy : NotedStaged(arguments.workSet)) {
        bool before = false;
        for (const std::wstring& key : made.stagedBefore) {
            before = before || key == copy.key;
        }
        if (!before) {
            madeNow.push_back(copy.key);
        }
    }
    unsigned withdrawn = 0;
    return (madeNow.empty() || WithdrawStagedMoves(arguments.workSet, L"", &withdrawn, &madeNow)) &&
           undone;
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

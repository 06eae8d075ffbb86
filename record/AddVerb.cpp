// add: one entry per file, appended to a work set, after every file passed
// every check; the command lines printed are those the pass will start.
#include "checks/arming/Arming.h"
#include "checks/entry/EntryFile.h"
#include "checks/paths/FileIdentity.h"
#include "checks/image/ImageFacts.h"
#include "checks/entry/ModuleSafety.h"
#include "checks/paths/Redirection.h"
#include "checks/trust/Exposure.h"
#include "companion/ToolChoice.h"
#include "checks/entry/EntrySafety.h"
#include "checks/paths/PathNames.h"
#include "main/PathBuffer.h"
#include "pending/Launcher.h"
#include "record/Arm.h"
#include "record/ProductRecord.h"
#include "record/Record.h"
#include "record/WorkSetWriter.h"

#include <stdio.h>

namespace {

// One file, judged and ready to be written.
struct Planned {
    NewEntry entry;
    std::string commandLine;
};

// The tool whose own child the D and T command lines name, and why that one.
struct Tool {
    std::string path;
    std::string why;
    // The path whose length the command lines must have room for: the copy
    // that arming will make, when it is still to come, else path.
    std::string longest;
    // The file names under which a running pass would be found.
    std::vector<std::wstring> names;
};

// The tool as ChooseTool takes it, --tool made a full path first; with the
// copy that arming will make, when nothing is armed yet.
bool ChooseTool(const Arguments& arguments, const std::vector<PendingRename>& renames, Tool* tool) {
    std::wstring given = arguments.tool.empty() ? std::wstring() : FullPath(arguments.tool);
    ToolChoice choice;
    if (arguments.tool.empty() || !given.empty()) {
        choice = ChooseTool(given, renames);
    }
    std::wstring& path = choice.path;
    std::wstring future;
    if (choice.from == ToolFrom::Given) {
        tool->why = "--tool";
    } else {
        WarnOfArmedCopies(choice.judged,
                          choice.from == ToolFrom::ArmedCopy ? &choice.taken : nullptr);
        for (const ArmedCopy& copy : choice.judged) {
            tool->names.push_back(FileNameOf(copy.value.copy));
        }
    }
    if (choice.from == ToolFrom::ArmedCopy) {
        tool->why = "the copy that the RunOnce value \"" + ReportText(choice.taken.value.name) +
                    "\" starts";
    } else if (choice.from == ToolFrom::Beside) {
        future = FutureCopyPath(path);
        tool->why = "beside the recorder; nothing is armed yet, and once armed the pass runs "
                    "a copy of it: arm first to see the copy's lines";
    }
    tool->names.push_back(FileNameOf(path));
    tool->names.push_back(FileNameOf(ToolBesideThisProgram()));
    // The pass knows its own path through the ANSI functions.
    if (path.empty() || !ToAnsi(path, &tool->path) ||
        tool->path.size() >= static_cast<size_t>(kPathBufferSize)) {
        Complain("tool %s: its path cannot be had through the ANSI code page in %d bytes",
                 ReportText(path).c_str(), kPathBufferSize);
        return false;
    }
    if (future.empty() || !ToAnsi(future, &tool->longest) ||
        tool->longest.size() < tool->path.size()) {
        tool->longest = tool->path;
    }
    return true;
}

// Entries added to a work set that a running pass works through are lost:
// the pass read its "count" before, and deletes it afterwards; and a new
// work set that it comes upon while its values are being written may be
// taken up half-written. So nothing is recorded while a pass runs.
bool NoPassRunning(const Tool& tool) {
    RunningPass pass;
    if (!FindRunningPass(tool.names, &pass)) {
        return true;
    }
    Complain("a pass is running (process %lu: %s): it may be working through the work set, and "
             "deletes each one it has run with whatever was added meanwhile; record again once "
             "it has ended",
             pass.id, ReportText(pass.commandLine).c_str());
    return false;
}

// The mode for a file whose kind --kind does not name, from the file that
// will lie at the path when the pass runs, read as each process that could
// register it sees it: a DLL that the 64-bit system sees there is DX for the
// 32-bit tool; any other DLL is D, an executable E, and a file that is no
// image at all can only be a type library, T. The checks then judge it.
std::string PickedMode(const std::string& file, const FileCheckContext& context) {
    std::wstring path = FindAfterRestart(context.renames, AnsiToWide(file.c_str())).origin;
    ImageFacts seen = ReadImageFacts(path);
    ImageFacts native;
    {
        RedirectionOff off(true);
        native = ReadImageFacts(path);
    }
    if (context.toolBits == 32 && native.isDll && native.bits == 64) {
        if (seen.isDll && seen.bits == 32) {
            Complain("warning: %s: recorded as DX for the 64-bit DLL that the system folder "
                     "holds; its 32-bit namesake, which 32-bit programs see there, is not "
                     "recorded (add it with --kind=D to register it too)",
                     file.c_str());
        }
        return "DX";
    }
    const ImageFacts& facts = seen.isImage ? seen : native;
    if (!facts.isImage) {
        return "T";
    }
    return facts.isDll ? "D" : "E";
}

// The checks of the file as the pass will meet it, and of who may change it:
// false, with every failure said, when one refuses. Warnings are said with
// their tag, and record; so are failures whose code does not refuse, which
// record too: a module that the file needs may well be installed by the same
// installer after this run (the inspector, run last, still fails it until it
// is there).
bool PassesChecks(const NewEntry& entry, const FileCheckContext& context) {
    char kind = entry.mode[0];
    bool is64Bit = entry.mode.size() > 1;
    Findings findings = CheckEntryFile(kind, is64Bit, entry.file.c_str(), context);
    Findings safety = CheckEntrySafety(kind, is64Bit, entry.file.c_str(), context.renames);
    findings.insert(findings.end(), safety.begin(), safety.end());
    Findings modules = CheckModuleSafety(kind, is64Bit, entry.file.c_str(), context);
    findings.insert(findings.end(), modules.begin(), modules.end());
    bool passed = true;
    for (const Finding& finding : findings) {
        bool refuses = finding.outcome == Outcome::Refuse;
        if (JsonReportInUse()) {
            JsonFileFinding(entry.file, finding);
        }
        if (finding.outcome == Outcome::Ok) {
            continue;
        }
        Complain("%s%s: %s", refuses ? "" : "warning: ", entry.file.c_str(),
                 FindingText(finding).c_str());
        passed = passed && !refuses;
    }
    return passed;
}

// Judges one file operand; false, with the reasons complained, when it
// cannot be recorded.
bool Plan(const Arguments& arguments, const std::wstring& operand, const Tool& tool,
          const std::string& systemDirectory, const FileCheckContext& context, Planned* planned) {
    NewEntry& entry = planned->entry;
    if (!StorablePath(operand, &entry.file)) {
        return false;
    }
    entry.mode =
        arguments.kind.empty() ? PickedMode(entry.file, context) : ReportText(arguments.kind);
    char kind = entry.mode[0];
    bool is64Bit = entry.mode.size() > 1;
    char commandLine[kPathBufferSize];
    // The longest tool path first: a line that fits with it fits with both.
    if (FilterEntry(kind, entry.file.c_str()) != kEntryRuns ||
        !FormatCommandLine(kind, entry.file.c_str(), is64Bit,
                           is64Bit ? systemDirectory.c_str() : tool.longest.c_str(), commandLine) ||
        !FormatCommandLine(kind, entry.file.c_str(), is64Bit,
                           is64Bit ? systemDirectory.c_str() : tool.path.c_str(), commandLine)) {
        Complain("%s: its command line would be longer than %d characters (bytes in the ANSI "
                 "code page)",
                 entry.file.c_str(), kLongestCommandLine);
        return false;
    }
    planned->commandLine = commandLine;
    return PassesChecks(entry, context);
}

// An entry's file as the duplicate check compares it, as SameFile does: by
// identity where it is there ("#" and its numbers, which no full path
// begins with), by the comparable form of its path where not. Worked out
// once per file: a repair's add of hundreds of files compares each with all
// the others.
struct Known {
    DWORD number;
    const NewEntry* entry;
    std::wstring file;
};

Known KnownAs(DWORD number, const NewEntry& entry) {
    std::wstring file = AnsiToWide(entry.file.c_str());
    FileIdentity identity;
    bool link = false;
    if (!IdentityOf(file, &identity, &link)) {
        return {number, &entry, ComparablePath(file)};
    }
    wchar_t key[32];
    swprintf(key, 32, L"#%lx:%lx:%lx", identity.volume, identity.indexHigh, identity.indexLow);
    return {number, &entry, key};
}

// The number of the entry that records the same file with the same mode
// among those known, or 0. The same file however it is spelled: a short
// name, another case, a prefix, another name of it; the same file in
// another mode is another registration.
DWORD RecordedAs(const Known& entry, const std::vector<Known>& known) {
    for (const Known& other : known) {
        if (other.entry->mode == entry.entry->mode && SamePath(other.file, entry.file)) {
            return other.number;
        }
    }
    return 0;
}

// Takes out of planned the files that the work set records already, or that
// come twice, with a line for each that says so: an installer run again (a
// repair) records the same files again, and each would be registered once
// more.
std::vector<std::string> LeaveOutRecorded(int toolBits, const std::string& workSet,
                                          std::vector<Planned>* planned) {
    std::vector<std::string> said;
    std::vector<std::pair<DWORD, NewEntry>> entries;
    if (!workSet.empty()) {
        entries = RecordedEntries(toolBits, workSet);
    }
    std::vector<Known> recorded;
    for (const auto& entry : entries) {
        recorded.push_back(KnownAs(entry.first, entry.second));
    }
    std::vector<Planned> fresh;
    std::vector<Known> given;
    for (const Planned& plan : *planned) {
        Known known = KnownAs(1, plan.entry);
        DWORD number = RecordedAs(known, recorded);
        if (number != 0) {
            said.push_back("  already recorded as entry " + std::to_string(number) + " (" +
                           plan.entry.mode + "): " + plan.entry.file);
        } else if (RecordedAs(known, given) != 0) {
            said.push_back("  given twice, recorded once (" + plan.entry.mode +
                           "): " + plan.entry.file);
        } else {
            given.push_back(known);
            fresh.push_back(plan);
        }
    }
    planned->swap(fresh);
    return said;
}

void SayEach(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        Print("%s\n", line.c_str());
    }
}

} // namespace

int AddVerb(const Arguments& arguments) {
    std::string workSet;
    if (!arguments.workSet.empty() && !WorkSetName(arguments.workSet, &workSet)) {
        return kExitRefused;
    }
    Tool tool;
    char systemDirectory[kPathBufferSize];
    FileCheckContext context = {arguments.toolBits, ReadPendingRenames()};
    if (!ChooseTool(arguments, context.renames, &tool)) {
        return kExitRefused;
    }
    if (!GetSystemPath(systemDirectory)) {
        Complain("cannot find the system directory");
        return kExitRefused;
    }
    // Every file is judged, so that one run names every reason.
    // The D command lines start the tool: its folder is where the child looks first.
    context.toolPath = AnsiToWide(tool.path.c_str());
    std::vector<Planned> planned(arguments.operands.size());
    bool refused = false;
    for (size_t index = 0; index < planned.size(); ++index) {
        refused |= !Plan(arguments, arguments.operands[index], tool, systemDirectory, context,
                         &planned[index]);
    }
    if (refused || !NoPassRunning(tool)) {
        Complain("nothing recorded");
        return kExitRefused;
    }
    std::vector<std::string> said = LeaveOutRecorded(arguments.toolBits, workSet, &planned);
    DWORD number = 0;
    if (planned.empty()) {
        // Appending nothing still refuses a work set that the pass could not
        // run or delete, as any append does.
        if (!AppendEntries(arguments.toolBits, {}, &workSet, &number)) {
            return kExitRefused;
        }
        Print("work set \"%s\" in %s: nothing recorded anew\n", workSet.c_str(),
              KeyShown(arguments.toolBits).c_str());
        SayEach(said);
        return kExitDone;
    }
    std::vector<NewEntry> entries;
    for (const Planned& plan : planned) {
        entries.push_back(plan.entry);
    }
    if (!AppendEntries(arguments.toolBits, entries, &workSet, &number)) {
        return kExitRefused;
    }
    // The uninstall's unregister takes back what the pass registers, by
    // these notes: the pass deletes the work set.
    if (!NoteEntries(AnsiToWide(workSet.c_str()), arguments.toolBits, entries)) {
        if (number == 1) {
            DeleteWorkSet(arguments.toolBits, workSet);
        } else {
            CutWorkSetBack(arguments.toolBits, workSet, number - 1);
        }
        return kExitRefused;
    }
    Print("tool: %s (%s)\n", tool.path.c_str(), tool.why.c_str());
    Print("work set \"%s\" in %s: entries %lu to %lu recorded\n", workSet.c_str(),
          KeyShown(arguments.toolBits).c_str(), number,
          number + static_cast<DWORD>(entries.size()) - 1);
    for (const Planned& plan : planned) {
        if (JsonReportInUse()) {
            JsonRecorded(workSet, number, plan.entry.mode, plan.entry.file, plan.commandLine);
        }
        Print("  entry %lu (%s): runs %s\n", number++, plan.entry.mode.c_str(),
              plan.commandLine.c_str());
    }
    SayEach(said);
    return kExitDone;
}

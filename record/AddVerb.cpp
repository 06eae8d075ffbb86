// add: one entry per file, appended to a work set, after every file passed
// every check; the command lines printed are those the pass will start.
#include "main/PathBuffer.h"
#include "pending/Launcher.h"
#include "record/Arm.h"
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
};

// The copy that an armed RunOnce value starts runs the pass; without one,
// the tool beside the recorder, which "arm" would copy; --tool overrides.
bool ChooseTool(const Arguments& arguments, Tool* tool) {
    std::wstring path = arguments.tool;
    std::wstring valueName;
    if (!path.empty()) {
        path = FullPath(path);
        tool->why = "--tool";
    } else if (FindArmedCopy(ToolBesideRecorder(), &path, &valueName)) {
        tool->why = "the copy that the RunOnce value \"" + Shown(valueName) + "\" starts";
    } else {
        path = ToolBesideRecorder();
        tool->why = "beside the recorder; nothing is armed yet, and once armed the pass runs a "
                    "copy of it: arm first to see the copy's lines";
    }
    // The pass knows its own path through the ANSI functions.
    if (path.empty() || !ToAnsi(path, &tool->path) ||
        tool->path.size() >= static_cast<size_t>(kPathBufferSize)) {
        Complain("tool %s: its path cannot be had through the ANSI code page in %d bytes",
                 Shown(path).c_str(), kPathBufferSize);
        return false;
    }
    return true;
}

// The mode an entry for the file gets. Until the file's own kind can be
// read, it is the one --kind names.
bool PickMode(const Arguments& arguments, const std::string& file, std::string* mode) {
    if (arguments.kind.empty()) {
        Complain("%s: no --kind given", file.c_str());
        return false;
    }
    *mode = Shown(arguments.kind);
    return true;
}

// Judges one file operand; false, with the reasons complained, when it
// cannot be recorded.
bool Plan(const Arguments& arguments, const std::wstring& operand, const Tool& tool,
          const std::string& systemDirectory, Planned* planned) {
    NewEntry& entry = planned->entry;
    if (!StorablePath(operand, &entry.file) || !PickMode(arguments, entry.file, &entry.mode)) {
        return false;
    }
    char kind = entry.mode[0];
    bool is64Bit = entry.mode.size() > 1;
    char commandLine[kPathBufferSize];
    if (FilterEntry(kind, entry.file.c_str()) != kEntryRuns ||
        !FormatCommandLine(kind, entry.file.c_str(), is64Bit,
                           is64Bit ? systemDirectory.c_str() : tool.path.c_str(), commandLine)) {
        Complain("%s: its command line would not fit in %d bytes", entry.file.c_str(),
                 kPathBufferSize);
        return false;
    }
    planned->commandLine = commandLine;
    return true;
}

} // namespace

int AddVerb(const Arguments& arguments) {
    std::string workSet;
    if (!arguments.workSet.empty() && !WorkSetName(arguments.workSet, &workSet)) {
        return kExitRefused;
    }
    Tool tool;
    char systemDirectory[kPathBufferSize];
    if (!ChooseTool(arguments, &tool) || !GetSystemPath(systemDirectory)) {
        return kExitRefused;
    }
    // Every file is judged, so that one run names every reason.
    std::vector<Planned> planned(arguments.operands.size());
    bool refused = false;
    for (size_t index = 0; index < planned.size(); ++index) {
        refused |=
            !Plan(arguments, arguments.operands[index], tool, systemDirectory, &planned[index]);
    }
    if (refused) {
        Complain("nothing recorded");
        return kExitRefused;
    }
    std::vector<NewEntry> entries;
    for (const Planned& plan : planned) {
        entries.push_back(plan.entry);
    }
    DWORD number = 0;
    if (!AppendEntries(arguments.toolBits, entries, &workSet, &number)) {
        return kExitRefused;
    }
    printf("tool: %s (%s)\n", tool.path.c_str(), tool.why.c_str());
    printf("work set \"%s\" in %s: entries %lu to %lu recorded\n", workSet.c_str(),
           KeyShown(arguments.toolBits).c_str(), number,
           number + static_cast<DWORD>(entries.size()) - 1);
    for (const Planned& plan : planned) {
        printf("  entry %lu (%s): runs %s\n", number++, plan.entry.mode.c_str(),
               plan.commandLine.c_str());
    }
    return kExitDone;
}

#pragma once
// The inspector: reads what the next "/S" pass will find and says, before
// anything runs, what the pass will do with it. Read-only: nothing is
// written or deleted, and no file's code runs; the only process it starts
// is itself, to load a type library apart.
#include "checks/entry/EntryFile.h"
#include "checks/text/Findings.h"
#include "main/PathBuffer.h"
#include "checks/loader/Dependencies.h"

#include <windows.h>

#include <stdint.h>

#include <string>

struct InspectOptions {
    // The bitness of the tool (and so of its own child and of the registry
    // view it reads) and the restart's renames, for the checks of files.
    FileCheckContext files;
    char toolPath[kPathBufferSize];
    // How the tool was chosen, for the report's "tool:" line; empty for --tool.
    std::string toolChosen;
    char systemDirectory[kPathBufferSize];
    // Warnings make the exit code 1 too.
    bool strict = false;
    // --work-set: the one work set judged, by the name the pass reads;
    // empty: all of them.
    std::string workSet;
    // --format=json: one document for programs instead of the lines.
    bool json = false;
    // The armed copy taken as the tool, without --tool; empty otherwise.
    std::string takenCopy;
};

// Whether the work set of that name is one that the report judges.
bool Judged(const InspectOptions& options, const std::wstring& name);

// What the report found. Anything that keeps the pass from doing all it was
// asked makes the exit code 1; warnings only with --strict.
struct Tally {
    unsigned workSets = 0;
    unsigned entriesRun = 0;
    unsigned entriesSkipped = 0;
    unsigned workSetsUnrun = 0;
    unsigned workSetsKept = 0;
    unsigned checksFailed = 0;
    unsigned warnings = 0;
    unsigned otherView = 0;
    // The key is there, but the pass cannot read it.
    bool keyUnreadable = false;
    // Objects that ordinary users may change, or whose permissions cannot be
    // read: each one lets them run code as an administrator at restart.
    unsigned unsafe = 0;
    // RunOnce values that start a copy of the tool with "/S".
    unsigned armingValues = 0;
};

// Prints one line of the report, indented by two spaces per depth; nothing
// when the report is a JSON document.
void Say(int depth, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The tag in front of a check's line: "ok", "FAIL" or "WARN", padded alike.
const char* TagOf(Outcome outcome);
// A check's line at the depth given, its tag in front; counted in the summary
// by its code and outcome.
void SayFinding(Tally& tally, int depth, const Finding& finding);
// One of the report's own verdicts (a work set's line, an entry's, the
// key's), which carry no tag; counted as SayFinding counts.
void SayVerdict(Tally& tally, int depth, const Finding& finding);
// The checks' findings, one line each at the depth given.
void Report(Tally& tally, int depth, const Findings& findings);

// A line saying so where the platform cannot be asked what another principal
// may do.
void SayHowRightsAreRead();
// A failure when ordinary users may change the key, opened with KEY_READ;
// what names it ("the pending key HKLM\..."), shown is the key's path.
void InspectKeySafety(HKEY key, const std::string& what, const std::string& shown, int depth,
                      Tally& tally);
// The RunOnce values that arm the pass, and whether their copies of the tool
// will be there and are safe; a failure when there is none and work sets are
// judged, and a warning when several start the pass.
void InspectArming(const InspectOptions& options, Tally& tally);

// The report as one JSON document (inspect/JsonReport.cpp): the findings
// that SayFinding and SayVerdict are handed go into the work set, entry or
// RunOnce value that was begun last.
void UseJsonReport();
bool JsonReportInUse();
void JsonFinding(const Finding& finding);
void JsonHeader(const InspectOptions& options, const PassFolder& pass, bool rightsReadByRules);
void JsonWorkSet(const std::string& shownName);
// An entry, or a run of entry numbers (last > first) without values; mode,
// file and command line are empty when the pass does not get that far.
struct JsonEntryFacts {
    uint64_t first;
    uint64_t last;
    std::string mode;
    std::string file;
    std::string commandLine;
};
void JsonEntry(const JsonEntryFacts& entry);
void JsonEndWorkSets();
void JsonArmingValue(const std::string& name, int viewBits, const std::string& command,
                     const std::string& copy);
void JsonEndArming();
// Writes the document, with the summary and the exit code.
void WriteJsonReport(const InspectOptions& options, const Tally& tally, int exitCode);

// Every work set under the opened key, in the order the pass takes them,
// with every entry's command line or the reason it is skipped.
void InspectWorkSets(HKEY key, const InspectOptions& options, Tally& tally);

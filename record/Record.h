#pragma once
// The recorder: writes what an installer wants the next "/S" pass to do, in
// the layout the pass reads, and prepares the rest of the road (a new version
// of a file in use, a RunOnce value that starts the pass). Every verb either
// does all it was asked or changes nothing.
#include "checks/text/Findings.h"
// The verbs' Arguments, the exit codes and ToAnsi, the edge of the ANSI
// contract.
#include "companion/FrontEnd.h"

#include <windows.h>

#include <string>
#include <vector>

// The verbs; each returns the exit code.
int AddVerb(const Arguments& arguments);
int ReplaceVerb(const Arguments& arguments);
int ArmVerb(const Arguments& arguments);
int WithdrawVerb(const Arguments& arguments);
int DiscardVerb(const Arguments& arguments);
// An install's steps as one change that takes itself back when one fails,
// and an uninstall's steps as one verb.
int InstallVerb(const Arguments& arguments);
int UninstallVerb(const Arguments& arguments);
// One --replace=NEW|TARGET taken apart; false, complained, when it is not
// two paths with the separator between them.
bool SplitReplacement(const std::wstring& given, std::wstring* fresh, std::wstring* target);
int UnregisterVerb(const Arguments& arguments);

// --format=json (with any verb): one JSON document on standard output
// instead of the lines (record/RecordReport.cpp). The option is taken out of
// the arguments; true when it was there.
bool TakeFormatOption(int* argc, wchar_t** argv);
bool JsonReportInUse();
// What Print and Complain would have written, kept for the document.
void JsonPrinted(const std::string& text);
void JsonComplained(const std::string& text);
// One of add's judgements of a file, and an entry it recorded.
void JsonFileFinding(const std::string& file, const Finding& finding);
void JsonRecorded(const std::string& workSet, DWORD number, const std::string& mode,
                  const std::string& file, const std::string& commandLine);
// The inspector's own document, of install's last step.
void JsonInspection(const std::string& document);
void WriteJsonReport(int exitCode);

// One line on standard error, "pendreg-record: " in front.
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Text on standard output; both go to the log too, when there is one.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The full path of a file operand, or empty with the reason complained.
std::wstring FullPath(const std::wstring& path);

// The path as the pass will read it: the full path in the ANSI code page, or
// its short (8.3) form when only that can be held. False, with the reason
// complained, when neither can, or it does not fit the pass's buffer.
bool StorablePath(const std::wstring& operand, std::string* stored);

// A process of the tool that runs the pass now.
struct RunningPass {
    DWORD id;
    std::wstring commandLine;
};

// The first process whose program has one of the file names and whose
// command line starts the pass ("/S"); false when there is none, or none
// whose command line can be read.
bool FindRunningPass(const std::vector<std::wstring>& toolNames, RunningPass* found);

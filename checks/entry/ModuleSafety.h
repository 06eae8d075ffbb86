#pragma once
// Who may change, or slip in, a module that the pass loads on an entry's
// behalf, with an administrator's rights. Each module that the dependency
// check finds is judged as the entry's own file is (one that arrives at
// restart by the source of its rename); and a folder that the loader
// searches before the place where it finds a module, or any folder of its
// search for a module that it finds nowhere, must not let ordinary users add
// a file: the loader would take theirs.
#include "checks/entry/EntryFile.h"
#include "checks/text/Findings.h"

// What the judgement has learnt, kept for the run.
struct PlacementCache;

// kind, is64Bit and file as the pass reads them from the entry, the file in
// the ANSI code page. A failure for each object that lets ordinary users
// change what is loaded (once per entry), or one ok line that says what was
// judged; nothing for a file whose modules the dependency check does not
// look for. The folders of the entry's own file and of its new version are
// the entry's own safety check's to report.
Findings CheckModuleSafety(char kind, bool is64Bit, const char* file,
                           const FileCheckContext& context);

#pragma once
// Whether the process that registers an entry's file will find every module
// that the file needs, said before anything runs: the file's imports, and
// theirs in turn, looked for as the loader of that process looks for them,
// in the machine's folders as the restart leaves them.
#include "checks/Findings.h"

#include <string>

struct FileCheckContext;

// What the dependency checks learn about the machine's folders and about the
// modules they read, kept across the entries of a run so that each module is
// read once.
struct DependencyCache;

// The modules that the file of a D, DX or E entry needs. opened is the path
// that registration will open, as the entry names it; located is where the
// file's bytes lie now. Says nothing for a file that the other checks
// already found unfit to run. Every finding is advisory.
void CheckDependencies(char kind, bool is64Bit, const std::wstring& opened,
                       const std::wstring& located, const FileCheckContext& context,
                       Findings& findings);

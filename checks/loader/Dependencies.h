#pragma once
// Whether the process that registers an entry's file will find every module
// that the file needs, said before anything runs: the file's imports, and
// theirs in turn, looked for as the loader of that process looks for them
// (checks/loader/SearchOrder.h), in the machine's folders as the restart leaves
// them.
#include "checks/text/Findings.h"

#include <string>
#include <vector>

struct FileCheckContext;

// What the dependency checks learn about the machine's folders and about the
// modules they read, kept across the entries of a run so that each module is
// read once.
struct DependencyCache;

// The modules that the file of a D, DX or E entry needs. opened is the path
// that registration will open, as the entry names it; located is where the
// file's bytes lie now. Says nothing for a file that the other checks
// already found unfit to run. No finding refuses: the file may need what the
// same installer installs after recording it.
void CheckDependencies(char kind, bool is64Bit, const std::wstring& opened,
                       const std::wstring& located, const FileCheckContext& context,
                       Findings& findings);

// One module that the loader looks for in folders on the file's behalf (the
// known DLLs and API sets it takes from the system without a search).
struct ModuleLoad {
    std::string name;
    // The file that the loader takes, or stops at, as it lies on disk after
    // the restart; empty when it finds none.
    std::wstring lies;
    // Where its bytes lie now, when a pending rename brings them.
    std::wstring arrivesFrom;
    // The folders, on disk, that the loader searches before it; every folder
    // of its search when it finds none.
    std::vector<std::wstring> searchedFirst;
};

// The modules that CheckDependencies looks for, with the same arguments, in
// the order it names them. False for a file that it says nothing about.
bool ModulesLoaded(char kind, bool is64Bit, const std::wstring& opened, const std::wstring& located,
                   const FileCheckContext& context, std::vector<ModuleLoad>* loads);

// The current folder of the pass as the checks take it, and whether the
// loader searches it after the Windows folder (safe search mode) rather than
// straight after the first folder.
struct PassFolder {
    std::wstring folder;
    bool afterWindowsFolder;
};
PassFolder PassCurrentFolder(const FileCheckContext& context);

#pragma once
// Where the loader looks for a module that a file needs by name: which
// folders, in which order, for each way the pass loads something, and why
// that order. D and DX files are loaded with
// LoadLibraryEx(LOAD_WITH_ALTERED_SEARCH_PATH), which puts the DLL's own
// folder first for the imports resolved while it runs, but only for a full
// path written with backslashes. Everything else is searched in the standard
// order, whose first folder is that of the loading process's program: what a
// delay-load brings in when it is first called (and all that it needs), what
// a path written with "/" needs, and what an executable server needs.
#include <set>
#include <string>
#include <utility>
#include <vector>

// The machine's part of every search, read once per run.
struct LoaderFolders {
    bool is64BitWindows = false;
    // As a process names it, the system folder is the same for either
    // bitness; on 64-bit Windows a 32-bit process that names it gets the
    // 32-bit one, which lies at systemFolder32.
    std::wstring systemFolder;
    std::wstring systemFolder32;
    std::wstring windowsFolder;
    // PATH as a session started after the restart gets it.
    std::vector<std::wstring> pathFolders;
    // Upper case: names that the system resolves without searching.
    std::set<std::wstring> knownDlls;
    // SafeDllSearchMode: the current folder comes after the Windows folder,
    // not right after the first folder.
    bool safeSearchMode = true;
    // The current folder of the pass that a RunOnce value starts at logon;
    // its children inherit it.
    std::wstring currentFolder;
};

LoaderFolders ReadLoaderFolders();

// Where a path that a process of the given bitness names lies on disk: on
// 64-bit Windows, a 32-bit process that names the system folder gets the
// 32-bit one.
std::wstring OnDisk(const LoaderFolders& machine, const std::wstring& path, int bits);

// What a folder is in a search, and where a search ended: found (up to
// Path), or not (from Missing on).
enum class Where {
    System,
    OwnFolder,
    ProgramFolder,
    WindowsFolder,
    CurrentFolder,
    Path,
    Missing,
    OtherBits,
    Unusable
};

struct SearchOrder {
    int bits = 0;
    // The folders as the loading process names them, each once, in order.
    std::vector<std::pair<std::wstring, Where>> folders;
    // Why the file's own folder is not searched first, as the report says it
    // ("delay-loaded: the loader searches the tool's folder, not the
    // DLL's"); empty when it is.
    std::string why;
};

// The two searches of one entry's file: one for its imports and theirs, one
// for what a delay-load brings in and all that that needs.
struct EntrySearch {
    SearchOrder imports;
    SearchOrder delayLoads;
    // A D or DX path written with "/": the altered order does not apply.
    bool slashed = false;
};

// kind and is64Bit as the entry says them; bits of the process that loads
// the file; opened as registration opens it; tool the program that the D
// child runs (the application folder of that child).
EntrySearch SearchOf(const LoaderFolders& machine, char kind, bool is64Bit, int bits,
                     const std::wstring& opened, const std::wstring& tool);

// The folders of an order as the report names them: "C:\App, the system
// folder, the Windows folder or PATH" (joined with "and" instead of "or"
// when asked).
std::string FoldersSaid(const SearchOrder& order, const char* last = "or");

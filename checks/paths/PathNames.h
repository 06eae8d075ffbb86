#pragma once
// How a path is written: its folder and its file's name, whether it is full,
// the prefix that hands it to the file system as written, and whether two
// paths are written the same. Text alone, apart from PathExists: which file
// a path names, however spelt, is checks/paths/FileIdentity.h's to say.
#include <string>
#include <vector>

// Whether the path names its file without help from the current folder: a
// drive letter and a backslash, or a UNC path.
bool IsFullPath(const std::wstring& path);

// The folder that holds the file the path names.
std::wstring FolderOfPath(const std::wstring& path);

// The path's last part, after its last "\\" or "/": the file's own name.
std::wstring FileNameOf(const std::wstring& path);

// Whether a file or folder lies at the path now.
bool PathExists(const std::wstring& path);

// The path without a prefix that hands it to the file system as written:
// "\\?\" or "\\.\" before a drive letter, "\\?\UNC\" before a share. False,
// with plain untouched, for a prefix before anything else (a device, a
// volume by its GUID, the system's own namespace): no file path names the
// same thing, so it cannot be compared with one.
bool WithoutPathPrefix(const std::wstring& path, std::wstring* plain);

// Whether two paths are written the same, compared as the file system
// compares names (without regard to case, and without the prefixes above):
// the one comparison of names, for paths already in one form (ComparablePath
// in checks/paths/FileIdentity.h) or names that are not paths. Whether two paths
// name one file is SameFile's to say.
bool SamePath(const std::wstring& first, const std::wstring& second);

// Whether the list holds a path that is the same as path, as SamePath compares.
bool ContainsPath(const std::vector<std::wstring>& paths, const std::wstring& path);

// Whether path is folder itself or lies below it, compared as SamePath
// compares; rest receives the part of path after folder ("" or
// "\name...").
bool Below(const std::wstring& path, const std::wstring& folder, std::wstring* rest);

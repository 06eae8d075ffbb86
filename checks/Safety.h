#pragma once
// Who may change what the pass runs with an administrator's rights at the
// next logon: a file, a folder, a registry key. "Ordinary users" are the
// well-known groups that are not administrators (Everyone, Users,
// Authenticated Users, INTERACTIVE, Guests, Anonymous); what each of them may
// do is read from the object's security descriptor by the platform's own
// access check, never by reading its entries here.
#include "checks/Findings.h"
#include "checks/RestartRenames.h"

#include <windows.h>

#include <string>
#include <vector>

// What ordinary users may do to one object that lets them change what runs.
struct Exposure {
    // The security descriptor could not be read: the platform's error.
    DWORD error = ERROR_SUCCESS;
    // One text per group that may change the object, such as
    // "Everyone may write to it, delete it".
    std::vector<std::string> changers;
};

// A file changes when it is written, appended to or deleted; a folder when
// files are added to it or deleted in it; a key when values are set or
// subkeys created in it. Changing the permissions or the owner of any of them
// counts too.
enum class Securable { File, Folder, Key };

Exposure ExposureOfPath(const std::wstring& path, Securable kind);
// key is open with READ_CONTROL (KEY_READ holds it).
Exposure ExposureOfKey(HKEY key);

// The groups of ordinary users that cannot be asked about here, by name:
// where the platform has no access check for a group the caller does not
// belong to, only the caller's own groups can be asked about.
std::vector<std::string> GroupsNotAsked();

// Adds a failure for an object that ordinary users may change, or whose
// descriptor cannot be read; what names it as the report says it ("the file
// C:\d\a.dll"). False when it added one.
bool AddExposureFinding(Findings& findings, const std::string& what, const Exposure& exposure);

// The folder that holds the file the path names.
std::wstring FolderOfPath(const std::wstring& path);

// Judges a file that the pass will load or run as the entry's own file is
// judged: failures for the file and for its folder; what names the file as
// the report says it ("the module C:\d\helper.dll"). True when nothing was
// unsafe.
bool AddPlacementFindings(Findings& findings, const std::string& what, const std::wstring& file);

// The files that an entry will run or register, as the restart leaves them:
// the file itself, the new version that replaces it at restart, and their
// folders, from which the loader takes other DLLs first. Nothing for a file
// that will not be there: the entry's own checks say so.
Findings CheckEntrySafety(char kind, bool is64Bit, const char* file,
                          const std::vector<PendingRename>& renames);

// The tool's copy that a RunOnce value starts, and its folder.
Findings CheckCopySafety(const std::wstring& copy);

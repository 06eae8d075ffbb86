#pragma once
// Who may change what the pass runs with an administrator's rights at the
// next logon: a file, the folders above it, a registry key. Only the system
// and the administrators are trusted (checks/Trust.h); every other principal
// that an object's access list names, or that owns it, is an ordinary user,
// and what it may do is weighed with the denying entries as the platform
// weighs them (checks/AccessList.h).
#include "checks/Findings.h"
#include "checks/RestartRenames.h"

#include <windows.h>

#include <string>
#include <vector>

// What ordinary users may do to one object that lets them change what runs.
struct Exposure {
    // The security descriptor could not be read: the platform's error.
    DWORD error = ERROR_SUCCESS;
    // One text per principal that may change the object, such as
    // "Everyone may write to it, delete it" or "HOST\alice (S-1-5-...) owns it".
    std::vector<std::string> changers;
};

// A file changes when it is written, appended to or deleted; a folder when
// files are added to it or deleted in it; a key when values are set or
// subkeys created in it. Changing the permissions or the owner of any of them
// counts too, and so does owning it (unless an OWNER RIGHTS entry says what
// the owner may do instead). A staging folder holds a new version that a
// rename at restart moves elsewhere: the loader never searches it, so only
// deleting files in it counts, not adding them.
enum class Securable { File, Folder, StagingFolder, Key };

Exposure ExposureOfPath(const std::wstring& path, Securable kind);
// key is open with READ_CONTROL (KEY_READ holds it).
Exposure ExposureOfKey(HKEY key);

// Adds a failure for an object that ordinary users may change, or whose
// descriptor cannot be read; what names it as the report says it ("the file
// C:\d\a.dll"), shown is its path (or key) as the report shows it, and kind
// what it is. False when it added one.
bool AddExposureFinding(Findings& findings, const std::string& what, const std::string& shown,
                        Securable kind, const Exposure& exposure);

// The folder that holds the file the path names.
std::wstring FolderOfPath(const std::wstring& path);

// The path's last part, after its last "\\" or "/": the file's own name.
std::wstring FileNameOf(const std::wstring& path);

// Whether a file or folder lies at the path now.
bool PathExists(const std::wstring& path);

// How the pass meets a file: it loads or runs it where it lies, or the file
// is a new version staged for a rename at restart, in a folder that the
// loader never searches (C:\Windows\Temp, where installers that run as
// SYSTEM stage theirs).
enum class Placement { Runs, Staged };

// Judges a file where it lies: the file (when it is there), its folder, and
// every folder above it up to the root of its volume, each of which ordinary
// users could swap for one of their own if they may move it away (delete it,
// or delete in its parent) and make a folder in its parent. Its folder is
// judged as a Folder for a file that runs, as a StagingFolder for one staged.
// what names the file as the report says it ("the module C:\d\helper.dll");
// the failures read "ordinary users may change WHAT: ...", "... the folder F
// of WHAT: ..." and "... the folder F above WHAT: ...". Adds nothing when
// nothing was unsafe, and then returns true.
bool AddPlacementFindings(Findings& findings, const std::string& what, const std::wstring& file,
                          Placement placement = Placement::Runs);

// Where the checks read the security descriptor of a file or folder (owner,
// group and access list): the platform's, unless another reader is set.
// Wine keeps no access list on files, so tests serve the lists that Windows
// gives its folders through here. The reader returns the platform's error,
// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when nothing lies at the path;
// null puts the platform back.
using FileSecurityReader = DWORD (*)(const std::wstring& path, std::vector<BYTE>* descriptor);
void SetFileSecurityReader(FileSecurityReader reader);

// The files that an entry will run or register, as the restart leaves them:
// the file itself, the new version that replaces it at restart, and the
// folders above them, from the first of which the loader takes other DLLs
// first. Nothing for a file that will not be there: the entry's own checks
// say so.
Findings CheckEntrySafety(char kind, bool is64Bit, const char* file,
                          const std::vector<PendingRename>& renames);

// The tool's copy that a RunOnce value starts, judged where its bytes lie
// (lying: the source of the pending rename that brings it in, or the copy
// itself), and the folders above the place it runs from.
Findings CheckCopySafety(const std::wstring& copy, const std::wstring& lying);

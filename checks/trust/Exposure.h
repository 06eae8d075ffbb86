#pragma once
// Who may change what the pass runs with an administrator's rights at the
// next logon: a file, a folder (or swap it), a registry key. Only the system
// and the administrators are trusted (checks/trust/Trust.h); every other principal
// that an object's access list names, or that owns it, is an ordinary user,
// and what it may do is weighed with the denying entries as the platform
// weighs them (checks/trust/AccessList.h).
#include "checks/text/Findings.h"
#include "checks/trust/Rights.h"

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

Exposure ExposureOfPath(const std::wstring& path, Securable kind);
// key is open with READ_CONTROL (KEY_READ holds it).
Exposure ExposureOfKey(HKEY key);

// A folder on the way up from a file: the one that holds it (ownKind: judged
// as that kind) or one above it (ownKind null). Its own rights count only for
// the folder that holds the file; any folder may be swapped through its
// parent, which is empty at the root of a volume.
Exposure ExposureOfFolder(const std::wstring& folder, const std::wstring& parent,
                          const Securable* ownKind);

// Adds a failure for an object that ordinary users may change, or whose
// descriptor cannot be read; what names it as the report says it ("the file
// C:\d\a.dll"), shown is its path (or key) as the report shows it, and kind
// what it is. False when it added one.
bool AddExposureFinding(Findings& findings, const std::string& what, const std::string& shown,
                        Securable kind, const Exposure& exposure);

// Whether a file or folder lies at the path, as the reader of descriptors
// sees it.
bool LiesThere(const std::wstring& path);

// Where the checks read the security descriptor of a file or folder (owner,
// group and access list): the platform's, unless another reader is set.
// Wine keeps no access list on files, so tests serve the lists that Windows
// gives its folders through here. The reader returns the platform's error,
// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when nothing lies at the path;
// null puts the platform back.
using FileSecurityReader = DWORD (*)(const std::wstring& path, std::vector<BYTE>* descriptor);
void SetFileSecurityReader(FileSecurityReader reader);

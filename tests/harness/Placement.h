#pragma once
// Who may change what runs at restart, and the RunOnce value that starts it.
#include <windows.h>

#include <accctrl.h>

#include <string>

namespace harness {

// Adds a grant of access to Everyone to the object's access list, through
// the platform's security functions. name as SetNamedSecurityInfo takes it:
// a path, or "MACHINE\..." for a key under HKEY_LOCAL_MACHINE.
bool GrantEveryone(SE_OBJECT_TYPE type, const std::string& name, DWORD access);

// The SID of the account this program runs as, as text ("S-1-5-...").
std::string RunningAccount();

// The object's access list in the platform's notation (SDDL): "D:", its
// flags, then one entry after another; empty when it cannot be read.
std::string AccessOf(SE_OBJECT_TYPE type, const std::string& name);

// Gives the folder an access list of its own, inherited by what is put in
// it: full control for SYSTEM, Administrators and the running account, and
// nothing for anyone else. What an installer should do with its folders.
bool KeepToAdministrators(const std::string& folder);

const char kRunOnceKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// RunOnce values under HKEY_LOCAL_MACHINE, set in this program's registry
// view, looked for in the view given (0: this program's), and deleted from
// both: Wine's restart runs the values of either.
bool SetRunOnce(const std::string& name, const std::string& commandLine);
void DeleteRunOnce(const std::string& name);
bool RunOnceValueExists(const std::string& name, REGSAM view = 0);

} // namespace harness

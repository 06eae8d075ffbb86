#pragma once
// Who may change what runs at restart, and the RunOnce value that starts it.
#include <windows.h>

#include <accctrl.h>

#include <string>

namespace harness {

// Adds entries, in the platform's notation (SDDL: "(A;;0x2;;;BU)"), to the
// end of the object's access list, through the platform's security
// functions. name as SetNamedSecurityInfo takes it: a path, or "MACHINE\..."
// for a key under HKEY_LOCAL_MACHINE.
bool AddAccessEntries(SE_OBJECT_TYPE type, const std::string& name, const std::string& entries);
// The same for one grant of access to Everyone.
bool GrantEveryone(SE_OBJECT_TYPE type, const std::string& name, DWORD access);

// Makes the principal (a SID as text) the object's owner, and says whether it
// reads back so. Wine keeps a key's owner as set, but derives a file's from
// its Unix owner: there the Unix account nobody, which reads back as
// Anonymous (S-1-5-7), stands in for another account.
bool GiveTo(SE_OBJECT_TYPE type, const std::string& name, const std::string& owner);

// Under Wine: the Unix path of a file or folder (empty elsewhere), and a Unix
// program started from it, which Wine runs as one. Its process handle does
// not say when it is done: poll for what it does.
std::string UnixPathOf(const std::string& path);
bool StartUnixProgram(std::string commandLine);

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

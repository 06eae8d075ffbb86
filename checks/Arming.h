#pragma once
// What makes the pass run at the next logon: a RunOnce value under
// HKEY_LOCAL_MACHINE whose command starts a copy of the tool with "/S". The
// platform runs those values when a member of Administrators logs on, after
// the restart's renames; a copy that is not there then starts nothing.
#include "checks/Findings.h"
#include "checks/RestartRenames.h"

#include <windows.h>

#include <string>
#include <vector>

// The key of the RunOnce values, under HKEY_LOCAL_MACHINE.
extern const wchar_t kRunOnceKey[];

// Whether the registry has a 32-bit and a 64-bit view here (64-bit Windows).
bool RegistryHasTwoViews();

// One RunOnce value that starts a copy of the tool with "/S".
struct ArmingValue {
    int viewBits; // the registry view it lies in: 32 or 64
    std::wstring name;
    std::wstring command;
    // The file that the command starts, as process creation finds it.
    std::wstring copy;
};

// Every such value in both views, the 64-bit view first. A program is a copy
// of the tool when it has the same bytes as the tool (where they lie now, or
// lie once the restart's renames are done) or the tool's file name.
std::vector<ArmingValue> FindArmingValues(const std::wstring& tool,
                                          const std::vector<PendingRename>& renames);

// Whether the copy will be there when the value runs: named by a full path,
// present after the restart's renames and not deleted or moved away by them.
// lying receives where the copy's bytes lie now; empty when it will not be
// there.
Findings CheckArmedCopy(const std::wstring& copy, const std::vector<PendingRename>& renames,
                        std::wstring* lying);

// The copy of the tool that the pass will run: the first RunOnce value that
// starts one with "/S" and whose copy will be there when it runs. Fills the
// copy's path and the value's name; false when no value does. Every companion
// that names the tool without being told which takes this one.
bool FindArmedCopy(const std::wstring& tool, std::wstring* copy, std::wstring* valueName);

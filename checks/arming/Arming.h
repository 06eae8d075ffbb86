#pragma once
// What makes the pass run at the next logon: a RunOnce value under
// HKEY_LOCAL_MACHINE whose command starts a copy of the tool with "/S". The
// platform runs those values when a member of Administrators logs on, after
// the restart's renames; a copy that is not there then starts nothing.
#include "checks/renames/RestartRenames.h"
#include "checks/text/Findings.h"

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

// Whether a copy of the tool started with this command line runs the pass,
// as the tool's own scanner reads the line ("/S").
bool StartsPass(const std::wstring& command);

// Every REG_SZ or REG_EXPAND_SZ value under the RunOnce key in both views,
// the 64-bit view first, with its command as the platform's start-up reads
// it (copy left empty).
std::vector<ArmingValue> ReadRunOnceValues();

// Whether the two files hold the same bytes; false when either cannot be
// read.
bool SameBytes(const std::wstring& first, const std::wstring& second);

// Every value that starts a copy of the tool with "/S", in both views, the
// 64-bit view first. A program is a copy
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

// A value's copy judged as the one that runs the pass.
struct ArmedCopy {
    ArmingValue value;
    // Where the copy's bytes lie now; empty when it will not be there.
    std::wstring lying;
    // Empty when the copy is taken; otherwise why not, as the report says it.
    std::string notTaken;
};

// Every value that FindArmingValues finds, in its order, judged: a copy is
// taken only when it will be there when the value runs, has the tool's
// bytes, and no ordinary user may change it or its folder. A file that only
// bears the tool's name, or lies where users may change it, would run with
// an administrator's rights in place of the pass.
std::vector<ArmedCopy> JudgeArmedCopies(const std::wstring& tool,
                                        const std::vector<PendingRename>& renames);

// The first of them whose copy is taken, which is the copy the pass will
// run; false when none is. Every companion that names the tool without being
// told which takes this one.
bool FindArmedCopy(const std::vector<ArmedCopy>& judged, ArmedCopy* taken);

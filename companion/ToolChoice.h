#pragma once
// The tool that the pass will run: the one whose own child the D and T
// command lines name. The recorder prints those lines and the inspector
// judges them, so both choose it here, the same way.
#include "checks/arming/Arming.h"
#include "checks/renames/RestartRenames.h"

#include <string>
#include <vector>

// pendreg.exe beside the running companion: the tool it ships with.
std::wstring ToolBesideThisProgram();

enum class ToolFrom {
    // --tool named it.
    Given,
    // The copy that an armed RunOnce value starts: the one the pass runs.
    ArmedCopy,
    // Nothing is armed: the tool beside the companion, which arm would copy.
    Beside,
};

struct ToolChoice {
    ToolFrom from = ToolFrom::Given;
    std::wstring path;
    // The copy and the RunOnce value that starts it, for ArmedCopy.
    ArmedCopy taken;
    // Every RunOnce value that starts a copy of the tool, judged against the
    // tool beside the companion; empty when given.
    std::vector<ArmedCopy> judged;
};

// given (--tool) when not empty, as written; otherwise the first armed copy
// that is taken (FindArmedCopy), otherwise the tool beside the companion.
ToolChoice ChooseTool(const std::wstring& given, const std::vector<PendingRename>& renames);

// withdraw: takes back a new version that "replace" left waiting for the
// restart, for an installer that rolls back or is uninstalled before it: the
// pending moves onto the target from staged copies beside it, and the copies.
// The file in place now stays as it is; nothing waiting is nothing to undo.
#include "checks/Safety.h"
#include "record/Record.h"
#include "record/Staging.h"

int WithdrawVerb(const Arguments& arguments) {
    std::wstring target = FullPath(arguments.operands[0]);
    if (target.empty()) {
        return kExitRefused;
    }
    RemoveLeftovers(FolderOfPath(target));
    unsigned withdrawn = 0;
    if (!WithdrawStagedMoves(target, &withdrawn)) {
        return kExitRefused;
    }
    if (withdrawn == 0) {
        Print("nothing waits to replace %s at restart\n", ReportText(target).c_str());
    }
    return kExitDone;
}

// withdraw: takes back a new version that "replace" left waiting for the
// restart, for an installer that rolls back or is uninstalled before it: the
// pending moves of the copies that replace staged for the same product onto
// the target (onto any, without one), and the copies. The file in place now
// stays as it is; nothing waiting is nothing to undo.
#include "record/Record.h"
#include "record/Staging.h"

int WithdrawVerb(const Arguments& arguments) {
    std::wstring target;
    if (!arguments.operands.empty() && (target = FullPath(arguments.operands[0])).empty()) {
        return kExitRefused;
    }
    RemoveLeftovers(arguments.workSet);
    unsigned withdrawn = 0;
    if (!WithdrawStagedMoves(arguments.workSet, target, &withdrawn)) {
        return kExitRefused;
    }
    if (withdrawn == 0 && target.empty()) {
        Print("nothing that replace staged waits for the restart (%s)\n",
              RecordShown(arguments.workSet).c_str());
    } else if (withdrawn == 0) {
        Print("nothing waits to replace %s at restart\n", ReportText(target).c_str());
    }
    return kExitDone;
}

// uninstall: an uninstall's steps as one verb, in their order: the new
// versions that install staged are withdrawn, then the work set is discarded
// (and, with the last work set, the arming). Every step runs even when one
// before it failed, so that as much as can be is taken back; nothing there is
// nothing to undo, before the restart and after it alike.
#include "record/Record.h"

int UninstallVerb(const Arguments& arguments) {
    std::vector<std::wstring> targets;
    for (const std::wstring& given : arguments.replacements) {
        std::wstring fresh;
        std::wstring target;
        if (!SplitReplacement(given, &fresh, &target)) {
            return kExitRefused;
        }
        targets.push_back(target);
    }
    // TODO(unregister): once the unregister verb is in the tree, it comes
    // first here, with the work set and the view: after the restart the pass
    // has registered what install recorded, and only it takes that back.
    bool undone = true;
    for (const std::wstring& target : targets) {
        Arguments step;
        step.workSet = arguments.workSet;
        step.toolBits = arguments.toolBits;
        step.operands = {target};
        undone = WithdrawVerb(step) == kExitDone && undone;
    }
    Arguments discard;
    discard.workSet = arguments.workSet;
    discard.toolBits = arguments.toolBits;
    discard.name = arguments.name;
    undone = DiscardVerb(discard) == kExitDone && undone;
    return undone ? kExitDone : kExitRefused;
}

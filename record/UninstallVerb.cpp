// uninstall: an uninstall's steps as one verb, in their order: the new
// versions that install staged are withdrawn, then the work set is discarded
// (and, with the last work set, the arming). Every step runs even when one
// before it failed, so that as much as can be is taken back; nothing there is
// nothing to undo, before the restart and after it alike.
#include "record/Record.h"

int UninstallVerb(const Arguments& arguments) {
    // TODO(unregister): once the unregister verb is in the tree, it comes
    // first here, with the work set and the view: after the restart the pass
    // has registered what install recorded, and only it takes that back.
    bool undone = true;
    Arguments step = arguments;
    for (const std::wstring& given : arguments.replacements) {
        std::wstring fresh;
        std::wstring target;
        step.operands.clear();
        step.operands.push_back(target);
        undone = SplitReplacement(given, &fresh, &step.operands[0]) &&
                 WithdrawVerb(step) == kExitDone && undone;
    }
    undone = DiscardVerb(arguments) == kExitDone && undone;
    return undone ? kExitDone : kExitRefused;
}

// uninstall: an uninstall's steps as one verb, in their order: the new
// versions that replace staged for the product are withdrawn, then its work
// set is discarded, with the armings that nothing needs any more. Every step runs even when one
// before it failed, so that as much as can be is taken back; nothing there is
// nothing to undo, before the restart and after it alike.
#include "record/Record.h"

int UninstallVerb(const Arguments& arguments) {
    // TODO(unregister): once the unregister verb is in the tree, it comes
    // first here, with the work set and the view: after the restart the pass
    // has registered what install recorded, and only it takes that back.
    // Every new version that replace staged for the product: the record
    // says which, so --replace is accepted and not needed.
    Arguments step = arguments;
    step.operands.clear();
    bool undone = WithdrawVerb(step) == kExitDone;
    undone = DiscardVerb(arguments) == kExitDone && undone;
    return undone ? kExitDone : kExitRefused;
}

// uninstall: an uninstall's steps as one verb, in their order: what the pass
// registered for the product is unregistered, the new versions that replace
// staged for it are withdrawn, then its work set is discarded, with the
// armings that nothing needs any more. Every step runs even when one
// before it failed, so that as much as can be is taken back; nothing there is
// nothing to undo, before the restart and after it alike.
#include "record/Record.h"

int UninstallVerb(const Arguments& arguments) {
    // After the restart the pass has registered what install recorded, and
    // only unregister takes that back, while the files are still there.
    bool undone = UnregisterVerb(arguments) == kExitDone;
    // Every new version that replace staged for the product: the record
    // says which, so --replace is accepted and not needed.
    Arguments step = arguments;
    step.operands.clear();
    undone = WithdrawVerb(step) == kExitDone && undone;
    undone = DiscardVerb(arguments) == kExitDone && undone;
    return undone ? kExitDone : kExitRefused;
}

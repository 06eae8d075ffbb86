// discard: deletes a work set, for an installer that rolls back what it
// recorded or is uninstalled; with the last work set, the arming goes too.
// Nothing there is nothing to undo: an uninstall after the restart, when the
// pass has run the work set and deleted it, succeeds like any other.
#include "record/Arm.h"
#include "record/ProductRecord.h"
#include "record/Record.h"
#include "record/WorkSetWriter.h"

int DiscardVerb(const Arguments& arguments) {
    std::string name;
    if (!WorkSetName(arguments.workSet, &name)) {
        return kExitRefused;
    }
    WorkSetDeletion deleted = DeleteWorkSet(arguments.toolBits, name);
    if (deleted == WorkSetDeletion::Failed) {
        return kExitRefused;
    }
    // What the pass registered was taken back by unregister before, or never
    // was: the notes of the work set's entries go with it.
    if (!ForgetEntries(AnsiToWide(name.c_str()), arguments.toolBits)) {
        return kExitRefused;
    }
    if (deleted == WorkSetDeletion::Deleted) {
        Print("discarded: work set \"%s\" in %s\n", name.c_str(),
              KeyShown(arguments.toolBits).c_str());
    } else {
        Print("nothing recorded for \"%s\" in %s\n", name.c_str(),
              KeyShown(arguments.toolBits).c_str());
    }
    return DisarmWhenNothingRecorded(arguments.name) ? kExitDone : kExitRefused;
}

// discard: deletes a work set, for an installer that rolls back what it
// recorded or is uninstalled; what the record notes for the product's work
// set goes with it, and the armings that nothing needs any more go too.
// Nothing there is nothing to undo: an uninstall after the restart, when the
// pass has run the work set and deleted it, succeeds like any other.
#include "record/Arm.h"
#include "record/ProductRecord.h"
#include "record/Record.h"
#include "record/WorkSetWriter.h"

namespace {

// The notes of the work set's entries go with it: what the pass registered
// was taken back by unregister before, or never was. Once the product has no
// work set left in either view, it needs the pass no more; once nothing else
// is noted for it, its record goes.
bool ForgetWhatIsDone(const Product& product, const std::string& name, int toolBits) {
    bool forgotten = ForgetEntries(product, toolBits);
    int otherBits = toolBits == 64 ? 32 : 64;
    if (WorkSetRecorded(otherBits, name)) {
        return forgotten;
    }
    forgotten = ForgetReliance(product) && forgotten;
    if (NotedEntries(product, otherBits).empty() && NotedStaged(product).empty()) {
        forgotten = ForgetProduct(product) && forgotten;
    }
    return forgotten;
}

} // namespace

int DiscardVerb(const Arguments& arguments) {
    std::string name;
    if (!WorkSetName(arguments.workSet, &name)) {
        return kExitRefused;
    }
    WorkSetDeletion deleted = DeleteWorkSet(arguments.toolBits, name);
    if (deleted == WorkSetDeletion::Failed) {
        return kExitRefused;
    }
    if (deleted == WorkSetDeletion::Deleted) {
        Print("discarded: work set \"%s\" in %s\n", name.c_str(),
              KeyShown(arguments.toolBits).c_str());
    } else {
        Print("nothing recorded for \"%s\" in %s\n", name.c_str(),
              KeyShown(arguments.toolBits).c_str());
    }
    if (!ForgetWhatIsDone(arguments.workSet, name, arguments.toolBits)) {
        return kExitRefused;
    }
    return TakeBackUnneededArmings(false) ? kExitDone : kExitRefused;
}

// discard: deletes a work set, for an installer that rolls back what it
// recorded.
#include "record/Record.h"
#include "record/WorkSetWriter.h"

#include <stdio.h>

int DiscardVerb(const Arguments& arguments) {
    std::string name;
    if (!WorkSetName(arguments.workSet, &name) || !DeleteWorkSet(arguments.toolBits, name)) {
        return kExitRefused;
    }
    printf("discarded: work set \"%s\" in %s\n", name.c_str(),
           KeyShown(arguments.toolBits).c_str());
    return kExitDone;
}

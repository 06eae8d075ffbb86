#include "pending/PendingPass.h"

#include "main/PathBuffer.h"
#include "pending/Launcher.h"
#include "pending/PendingStore.h"
#include "restart/DeleteAtRestart.h"

#include <windows.h>

// Runs entry N of a work set when both of its values can be read; an entry
// that cannot be read is skipped.
static void RunEntry(HKEY workSet, DWORD number) {
    PendingEntry entry;
    if (ReadEntry(workSet, number, &entry)) {
        RegisterEntry(EntryKind(entry), entry.file, EntryIs64Bit(entry));
    }
}

// Opens one work set and runs its entries 1 to count, each once and in order.
// A work set that cannot be opened, or has no usable count, runs nothing.
static void RunWorkSet(HKEY key, const char* name) {
    HKEY workSet;
    if (!OpenWorkSet(key, name, &workSet)) {
        return;
    }
    DWORD count;
    ReadCount(workSet, &count);
    // The counter stops at 0 after the last entry of a count of 0xFFFFFFFF
    // instead of wrapping round to entry 1.
    for (DWORD number = 1; number != 0 && number <= count; ++number) {
        RunEntry(workSet, number);
    }
    RegCloseKey(workSet);
}

// Takes work sets one at a time, runs and deletes each. Deleted work sets
// leave the key, so the next one is always found at the index just past those
// that could not be deleted; those stay where they are and are never taken up
// again in this pass.
static void RunWorkSets(HKEY key) {
    char name[kPathBufferSize];
    DWORD kept = 0;
    while (FindWorkSet(key, kept, name)) {
        RunWorkSet(key, name);
        if (RegDeleteKeyA(key, name) != ERROR_SUCCESS) {
            ++kept;
        }
    }
}

void RunPendingPass() {
    HKEY key;
    if (OpenPendingKey(0, &key)) {
        RunWorkSets(key);
        RegCloseKey(key);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, PendingKeyPath);
    }
    char ownPath[kPathBufferSize];
    if (GetOwnPath(ownPath)) {
        DeleteFileAtRestart(ownPath);
    }
}

#include "pending/PendingPass.h"

#include "main/PathBuffer.h"
#include "pending/Launcher.h"
#include "restart/DeleteAtRestart.h"

#include <windows.h>

const char PendingKeyPath[] = "Software\\Zelk.Library.Cormant.v3";

// Room for a mode value: the kind letter, the optional "X", the terminator.
const DWORD kModeBufferSize = 3;
const int kValueNameSize = 128;

// Reads a REG_SZ value as a string of at most size - 1 bytes. Stored strings
// need not carry their terminator, or any byte at all, so the value is taken
// up to the size returned and terminated here; a value that fills the whole
// buffer without a terminator does not fit and is refused. False when the
// value is missing, of another type, or does not fit.
static bool ReadStringValue(HKEY key, const char* name, char* buffer, DWORD size) {
    DWORD type = REG_NONE;
    DWORD stored = size;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &stored) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    if (stored > 0 && buffer[stored - 1] == '\0') {
        return true;
    }
    if (stored >= size) {
        return false;
    }
    buffer[stored] = '\0';
    return true;
}

// Reads the REG_DWORD "count" of a work set; 0 when it is missing or of
// another type. A value stored with fewer than four bytes counts for the bytes
// it has.
static DWORD ReadCount(HKEY workSet) {
    DWORD count = 0;
    DWORD type = REG_NONE;
    DWORD stored = sizeof(count);
    if (RegQueryValueExA(workSet, "count", nullptr, &type, reinterpret_cast<BYTE*>(&count),
                         &stored) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0;
    }
    return count;
}

// Runs entry N of a work set when both of its values can be read; an entry
// that cannot be read is skipped.
static void RunEntry(HKEY workSet, DWORD number) {
    char valueName[kValueNameSize];
    char mode[kModeBufferSize];
    char file[kPathBufferSize];
    wsprintfA(valueName, "%u.mode", number);
    if (!ReadStringValue(workSet, valueName, mode, kModeBufferSize)) {
        return;
    }
    wsprintfA(valueName, "%u.file", number);
    if (!ReadStringValue(workSet, valueName, file, kPathBufferSize)) {
        return;
    }
    RegisterEntry(mode[0], file, mode[0] != '\0' && mode[1] == 'X');
}

// Opens one work set and runs its entries 1 to count, each once and in order.
// A work set that cannot be opened, or has no usable count, runs nothing.
static void RunWorkSet(HKEY key, const char* name) {
    HKEY workSet;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &workSet) != ERROR_SUCCESS) {
        return;
    }
    DWORD count = ReadCount(workSet);
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
    while (RegEnumKeyA(key, kept, name, kPathBufferSize) == ERROR_SUCCESS) {
        RunWorkSet(key, name);
        if (RegDeleteKeyA(key, name) != ERROR_SUCCESS) {
            ++kept;
        }
    }
}

void RunPendingPass() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RunWorkSets(key);
        RegCloseKey(key);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, PendingKeyPath);
    }
    char ownPath[kPathBufferSize];
    if (GetOwnPath(ownPath)) {
        DeleteFileAtRestart(ownPath);
    }
}

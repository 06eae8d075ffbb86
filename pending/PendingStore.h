#pragma once
// The pending-registration store as the pass reads it: the key, its work
// sets, their "count" and their entries. The pass and the inspector both read
// it through these functions, so what the inspector reports is what the pass
// will do.
#include "main/PathBuffer.h"

#include <windows.h>

// The key, under HKEY_LOCAL_MACHINE, where installers record registrations for
// the next pass. A 32-bit process reads it in the 32-bit view of the registry.
extern const char PendingKeyPath[];

// Room for a mode value: the kind letter, the optional "X", the terminator.
const DWORD kModeBufferSize = 3;
// Room for the name of an entry's value, "<N>.mode" or "<N>.file".
const int kValueNameSize = 128;
// The names of entry N's values, for wsprintfA.
extern const char kModeValueFormat[];
extern const char kFileValueFormat[];

// What became of reading one stored value.
enum ValueStatus {
    kValueRead,
    kValueMissing,
    kValueWrongType,
    // Too long for the buffer the pass reads it into.
    kValueTooLong,
};

// One entry as the pass reads it. Both strings are terminated once read.
struct PendingEntry {
    char mode[kModeBufferSize];
    char file[kPathBufferSize];
    ValueStatus modeStatus;
    // Not looked at when the mode could not be read.
    ValueStatus fileStatus;
};

// The registry view that a tool of that bitness (32 or 64) reads the key in,
// for the companions that judge or write what such a tool will read.
inline REGSAM ViewOfTool(int bits) {
    return bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// Opens the pending key with KEY_READ in the given registry view (0: the
// view of the calling process).
inline bool OpenPendingKey(REGSAM view, HKEY* key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, 0, KEY_READ | view, key) ==
           ERROR_SUCCESS;
}

// Fills name (kPathBufferSize bytes) with the name of the work set at the
// given index. The pass deletes each work set it has run, so it asks for the
// index just past those it had to keep: work sets are taken in the registry's
// order. False when there is no work set at that index.
inline bool FindWorkSet(HKEY key, DWORD index, char* name) {
    return RegEnumKeyA(key, index, name, kPathBufferSize) == ERROR_SUCCESS;
}

inline bool OpenWorkSet(HKEY key, const char* name, HKEY* workSet) {
    return RegOpenKeyExA(key, name, 0, KEY_READ, workSet) == ERROR_SUCCESS;
}

// Reads the REG_DWORD "count" of a work set into count, 0 when it cannot be
// read. A value stored with fewer than four bytes counts for the bytes it has.
ValueStatus ReadCount(HKEY workSet, DWORD* count);

// Reads "<number>.mode", then "<number>.file". True when both could be read;
// otherwise the entry is skipped, and the statuses say why.
bool ReadEntry(HKEY workSet, DWORD number, PendingEntry* entry);

// The kind letter of an entry: the first byte of its mode.
inline char EntryKind(const PendingEntry& entry) {
    return entry.mode[0];
}

// The 64-bit marker: an upper-case X right after the kind letter.
inline bool EntryIs64Bit(const PendingEntry& entry) {
    return entry.mode[0] != '\0' && entry.mode[1] == 'X';
}

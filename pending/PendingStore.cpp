#include "pending/PendingStore.h"

const char PendingKeyPath[] = "Software\\Zelk.Library.Cormant.v3";
const char kModeValueFormat[] = "%u.mode";
const char kFileValueFormat[] = "%u.file";

// Queries a value of the wanted type into buffer; size holds the buffer's
// size and receives the number of bytes stored.
static ValueStatus QueryValue(HKEY key, const char* name, DWORD wantedType, void* buffer,
                              DWORD* size) {
    DWORD type = REG_NONE;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, static_cast<BYTE*>(buffer), size);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        return kValueMissing;
    }
    if (type != wantedType) {
        return kValueWrongType;
    }
    return status == ERROR_SUCCESS ? kValueRead : kValueTooLong;
}

// Reads a REG_SZ value as a string of at most size - 1 bytes. Stored strings
// need not carry their terminator, or any byte at all, so the value is taken
// up to the size returned and terminated here; a value that fills the whole
// buffer without a terminator does not fit.
static ValueStatus ReadStringValue(HKEY key, const char* name, char* buffer, DWORD size) {
    DWORD stored = size;
    ValueStatus status = QueryValue(key, name, REG_SZ, buffer, &stored);
    if (status != kValueRead || (stored > 0 && buffer[stored - 1] == '\0')) {
        return status;
    }
    if (stored >= size) {
        return kValueTooLong;
    }
    buffer[stored] = '\0';
    return kValueRead;
}

ValueStatus ReadCount(HKEY workSet, DWORD* count) {
    *count = 0;
    DWORD stored = sizeof(*count);
    ValueStatus status = QueryValue(workSet, "count", REG_DWORD, count, &stored);
    if (status != kValueRead) {
        // Whatever another type left in it is no count.
        *count = 0;
    }
    return status;
}

bool ReadEntry(HKEY workSet, DWORD number, PendingEntry* entry) {
    char valueName[kValueNameSize];
    wsprintfA(valueName, kModeValueFormat, number);
    entry->modeStatus = ReadStringValue(workSet, valueName, entry->mode, kModeBufferSize);
    if (entry->modeStatus != kValueRead) {
        return false;
    }
    wsprintfA(valueName, kFileValueFormat, number);
    entry->fileStatus = ReadStringValue(workSet, valueName, entry->file, kPathBufferSize);
    return entry->fileStatus == kValueRead;
}

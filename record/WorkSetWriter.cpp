#include "record/WorkSetWriter.h"

#include "pending/PendingStore.h"
#include "record/Record.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const DWORD kWorkSetAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS;
// How the names that the recorder makes begin.
const char kNamePrefix[] = "pendreg ";
// How long a new name may wait for the clock to pass the last one made.
const int kNameWaitMs = 100;
// The highest entry number the recorder writes. The pass counts through every
// number up to the count, an empty one too, so a work set whose count starts
// near the end of the range would keep it going for hours before it reached
// new entries; a million numbers take it seconds.
const DWORD kLastEntryNumber = 1000000;

std::string ValueName(const char* format, DWORD number) {
    char name[kValueNameSize];
    wsprintfA(name, format, number);
    return name;
}

LONG SetString(HKEY key, const std::string& name, const std::string& text) {
    return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

// Both values of entry number; true when either was there.
bool DeleteEntryValues(HKEY workSet, DWORD number) {
    bool mode =
        RegDeleteValueA(workSet, ValueName(kModeValueFormat, number).c_str()) == ERROR_SUCCESS;
    bool file =
        RegDeleteValueA(workSet, ValueName(kFileValueFormat, number).c_str()) == ERROR_SUCCESS;
    return mode || file;
}

// A name of its own for a new work set: the time in UTC to the millisecond,
// then this process's id, each field of a fixed width, so that names compare
// as the numbers do and work sets recorded later sort (and run) later.
std::string NewWorkSetName(unsigned attempt) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char name[64];
    snprintf(name, sizeof(name), "%s%04u%02u%02u-%02u%02u%02u.%03u-%010lu", kNamePrefix, now.wYear,
             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
             GetCurrentProcessId());
    return attempt == 0 ? name : std::string(name) + "-" + std::to_string(attempt + 1);
}

// The last of the names the recorder made that are still there, in the
// order the pass takes them; empty when there is none.
std::string LastMadeName(HKEY key) {
    std::string last;
    char name[kPathBufferSize];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof(name)) == ERROR_SUCCESS; ++index) {
        if (strncmp(name, kNamePrefix, strlen(kNamePrefix)) == 0 && last < name) {
            last = name;
        }
    }
    return last;
}

// A new name that sorts after every name made before: recorders take turns,
// but two turns may fall within one millisecond, and the process ids of
// later runs are not larger.
std::string NameAfter(const std::string& last, unsigned attempt) {
    std::string name = NewWorkSetName(attempt);
    for (int waited = 0; name <= last && waited < kNameWaitMs; ++waited) {
        Sleep(1);
        name = NewWorkSetName(attempt);
    }
    return name;
}

// What AppendEntries made or opened, so that a failure can undo it.
struct Opened {
    HKEY key = nullptr;
    HKEY workSet = nullptr;
    bool keyCreated = false;
    bool workSetCreated = false;
};

LONG OpenWorkSet(REGSAM view, std::string* name, Opened* opened) {
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, 0, nullptr, 0,
                                  KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE |
                                      DELETE | view,
                                  nullptr, &opened->key, &disposition);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    opened->keyCreated = disposition == REG_CREATED_NEW_KEY;
    bool fresh = name->empty();
    std::string last = fresh ? LastMadeName(opened->key) : std::string();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string tried = fresh ? NameAfter(last, attempt) : *name;
        status = RegCreateKeyExA(opened->key, tried.c_str(), 0, nullptr, 0, kWorkSetAccess, nullptr,
                                 &opened->workSet, &disposition);
        if (status != ERROR_SUCCESS) {
            opened->workSet = nullptr;
            return status;
        }
        opened->workSetCreated = disposition == REG_CREATED_NEW_KEY;
        if (!fresh || opened->workSetCreated) {
            *name = tried;
            return ERROR_SUCCESS;
        }
        RegCloseKey(opened->workSet);
        opened->workSet = nullptr;
    }
    return ERROR_ALREADY_EXISTS;
}

// Closes what was opened; with undo, deletes what was created.
void Close(const Opened& opened, const std::string& name, REGSAM view, bool undo) {
    if (opened.workSet != nullptr) {
        RegCloseKey(opened.workSet);
    }
    if (undo && opened.workSetCreated) {
        RegDeleteKeyA(opened.key, name.c_str());
    }
    if (opened.key != nullptr) {
        RegCloseKey(opened.key);
    }
    if (undo && opened.keyCreated) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, view, 0);
    }
}

// The count the pass reads now; false, complained, when appending to the
// work set would not give what it promises: the pass would run none of it,
// reach the new entries only after hours, or never be rid of it.
bool CurrentCount(HKEY workSet, const std::string& name, size_t adding, DWORD* count) {
    ValueStatus status = ReadCount(workSet, count);
    DWORD subkeys = 0;
    if (status == kValueWrongType || status == kValueTooLong) {
        Complain("work set \"%s\": its \"count\" is not a REG_DWORD of 4 bytes, so the pass would "
                 "run none of it; discard the work set or record into another",
                 name.c_str());
        return false;
    }
    if (*count > kLastEntryNumber || kLastEntryNumber - *count < adding) {
        Complain("work set \"%s\": its \"count\" is %lu, and entries are numbered up to %lu at "
                 "most: the pass counts through every number before the new entries; record into "
                 "another work set",
                 name.c_str(), *count, kLastEntryNumber);
        return false;
    }
    if (RegQueryInfoKeyA(workSet, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys != 0) {
        Complain("work set \"%s\": it holds a key of its own, so the pass cannot delete it and "
                 "runs it again at every pass; record into another work set",
                 name.c_str());
        return false;
    }
    return true;
}

LONG WriteEntries(HKEY workSet, DWORD first, const std::vector<NewEntry>& entries) {
    DWORD number = first;
    for (const NewEntry& entry : entries) {
        LONG status = SetString(workSet, ValueName(kModeValueFormat, number), entry.mode);
        if (status == ERROR_SUCCESS) {
            status = SetString(workSet, ValueName(kFileValueFormat, number), entry.file);
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        ++number;
    }
    DWORD count = number - 1;
    return RegSetValueExA(workSet, "count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                          sizeof(count));
}

} // namespace

bool WorkSetName(const std::wstring& name, std::string* ansi) {
    const char* problem = WorkSetNameProblem(name, ansi);
    if (problem != nullptr) {
        Complain("work set \"%s\": cannot be used: %s", ReportText(name).c_str(), problem);
    }
    return problem == nullptr;
}

bool AppendEntries(int toolBits, const std::vector<NewEntry>& entries, std::string* name,
                   DWORD* first) {
    REGSAM view = ViewOfTool(toolBits);
    Opened opened;
    LONG status = OpenWorkSet(view, name, &opened);
    if (status != ERROR_SUCCESS) {
        Complain("%s: cannot be written: error %ld", KeyShown(toolBits).c_str(), status);
        Close(opened, *name, view, true);
        return false;
    }
    DWORD count = 0;
    if (!CurrentCount(opened.workSet, *name, entries.size(), &count)) {
        Close(opened, *name, view, true);
        return false;
    }
    *first = count + 1;
    status = WriteEntries(opened.workSet, *first, entries);
    bool written = status == ERROR_SUCCESS;
    DWORD last = count + static_cast<DWORD>(entries.size());
    if (written) {
        // Values beyond the new count that a run cut short left behind: the
        // pass never reads them, and the next append would take them for
        // its own.
        for (DWORD beyond = last + 1; beyond != 0 && DeleteEntryValues(opened.workSet, beyond);
             ++beyond) {
        }
    } else {
        Complain("work set \"%s\": cannot be written: error %ld", name->c_str(), status);
        for (DWORD number = *first; number <= last && number != 0; ++number) {
            DeleteEntryValues(opened.workSet, number);
        }
    }
    Close(opened, *name, view, !written);
    return written;
}

WorkSetDeletion DeleteWorkSet(int toolBits, const std::string& name) {
    REGSAM view = ViewOfTool(toolBits);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        return WorkSetDeletion::NotThere;
    }
    LONG status = RegDeleteKeyExA(key, name.c_str(), view, 0);
    DWORD subkeys = 1;
    DWORD values = 1;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return WorkSetDeletion::NotThere;
    }
    if (status != ERROR_SUCCESS) {
        Complain("work set \"%s\": cannot be deleted: error %ld", name.c_str(), status);
        return WorkSetDeletion::Failed;
    }
    // The key goes with its last work set, as after a pass; one that still
    // holds anything of anybody's stays.
    if (subkeys == 0 && values == 0) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, PendingKeyPath, view, 0);
    }
    return WorkSetDeletion::Deleted;
}

bool WorkSetCount(int toolBits, const std::string& name, DWORD* count) {
    *count = 0;
    HKEY key;
    HKEY workSet;
    if (!OpenPendingKey(ViewOfTool(toolBits), &key)) {
        return false;
    }
    bool opened = OpenWorkSet(key, name.c_str(), &workSet);
    RegCloseKey(key);
    if (opened) {
        ReadCount(workSet, count);
        RegCloseKey(workSet);
    }
    return opened;
}

bool CutWorkSetBack(int toolBits, const std::string& name, DWORD count) {
    std::string path = std::string(PendingKeyPath) + "\\" + name;
    HKEY workSet;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE | ViewOfTool(toolBits), &workSet);
    if (status != ERROR_SUCCESS) {
        Complain("work set \"%s\": cannot be opened to set its count back: error %ld", name.c_str(),
                 status);
        return false;
    }
    DWORD current = 0;
    ReadCount(workSet, &current);
    status = RegSetValueExA(workSet, "count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                            sizeof(count));
    if (status != ERROR_SUCCESS) {
        RegCloseKey(workSet);
        Complain("work set \"%s\": its count cannot be set back to %lu: error %ld", name.c_str(),
                 count, status);
        return false;
    }
    for (DWORD beyond = count + 1; beyond <= current && beyond != 0; ++beyond) {
        DeleteEntryValues(workSet, beyond);
    }
    RegCloseKey(workSet);
    return true;
}

bool WorkSetRecorded(int toolBits, const std::string& name) {
    DWORD count = 0;
    return WorkSetCount(toolBits, name, &count);
}

bool AnyWorkSetRecorded() {
    for (int bits : {32, 64}) {
        HKEY key;
        if (!OpenPendingKey(ViewOfTool(bits), &key)) {
            continue;
        }
        char name[kPathBufferSize];
        bool found = FindWorkSet(key, 0, name);
        RegCloseKey(key);
        if (found) {
            return true;
        }
    }
    return false;
}

std::vector<std::pair<DWORD, NewEntry>> RecordedEntries(int toolBits, const std::string& name) {
    std::vector<std::pair<DWORD, NewEntry>> entries;
    HKEY key;
    HKEY workSet;
    if (!OpenPendingKey(ViewOfTool(toolBits), &key)) {
        return entries;
    }
    bool opened = OpenWorkSet(key, name.c_str(), &workSet);
    RegCloseKey(key);
    DWORD count = 0;
    if (!opened) {
        return entries;
    }
    ReadCount(workSet, &count);
    // Listed by their values, not tried number by number up to the count.
    char value[kValueNameSize];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(value);
        if (RegEnumValueA(workSet, index, value, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        // Only the name the pass formats for the number is the entry's.
        char* end = nullptr;
        unsigned long number = strtoul(value, &end, 10);
        PendingEntry entry;
        if (number >= 1 && number <= count && ValueName(kModeValueFormat, number) == value &&
            ReadEntry(workSet, number, &entry)) {
            entries.push_back({number, {entry.mode, entry.file}});
        }
    }
    RegCloseKey(workSet);
    return entries;
}

std::string KeyShown(int toolBits) {
    return std::string("HKLM\\") + PendingKeyPath + " (" + std::to_string(toolBits) + "-bit view)";
}

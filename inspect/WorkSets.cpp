#include "inspect/Inspect.h"

#include "checks/EntryFile.h"
#include "pending/Launcher.h"
#include "pending/PendingStore.h"

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

// Registry value names have at most 16,383 characters.
const DWORD kValueNameRoom = 16384;
// Beyond this many numbers without values, the pass's tries take long enough
// to matter: each costs a registry query.
const uint64_t kSlowGap = 10000000;

static const char* ValueProblem(ValueStatus status, bool isFile) {
    switch (status) {
    case kValueMissing:
        return "is missing";
    case kValueWrongType:
        return "is not a REG_SZ";
    case kValueTooLong:
        return isFile ? "is too long: a file path has at most 1023 bytes"
                      : "is too long: a mode has at most 2 characters";
    default:
        return "was read";
    }
}

// The entry number whose value this is, when the pass would read it under
// that name: the name must be exactly what the pass formats for the number
// (no leading zeros, no sign), compared without regard to case as the
// registry compares names. 0 when it is no entry's value.
static DWORD EntryNumberOf(const char* name) {
    const char* dot = strrchr(name, '.');
    if (dot == nullptr || dot == name || dot - name > 10) {
        return 0;
    }
    char* end = nullptr;
    unsigned long long number = strtoull(name, &end, 10);
    if (end != dot || number == 0 || number > 0xFFFFFFFFull) {
        return 0;
    }
    char formatted[kValueNameSize];
    for (const char* format : {kModeValueFormat, kFileValueFormat}) {
        wsprintfA(formatted, format, static_cast<DWORD>(number));
        if (lstrcmpiA(formatted, name) == 0) {
            return static_cast<DWORD>(number);
        }
    }
    return 0;
}

// The numbers of the entries that have at least one value, ascending. Found
// by listing the values rather than by trying every number up to the count,
// which may be four billion.
static std::vector<DWORD> RecordedNumbers(HKEY workSet) {
    std::vector<DWORD> numbers;
    std::vector<char> name(kValueNameRoom);
    for (DWORD index = 0;; ++index) {
        DWORD length = kValueNameRoom;
        LONG status =
            RegEnumValueA(workSet, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            break;
        }
        DWORD number = EntryNumberOf(name.data());
        if (number != 0) {
            numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

// Numbers up to the count that have no values at all: the pass tries each of
// them and finds nothing.
static void ReportGap(uint64_t first, uint64_t last, Tally& tally) {
    tally.entriesSkipped += 1;
    if (first == last) {
        Say(1, "entry %llu: skipped: it has no values", static_cast<unsigned long long>(first));
        return;
    }
    Say(1, "entries %llu to %llu: skipped: they have no values%s",
        static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
        last - first + 1 >= kSlowGap
            ? "; the pass still tries every one of these numbers, which can take hours"
            : "");
}

// The tool reads the file value through the ANSI code page; characters that
// it cannot hold come back as "?" and name another file.
static void CheckStoredPath(HKEY workSet, DWORD number, const char* file, Tally& tally) {
    char ansiName[kValueNameSize];
    wsprintfA(ansiName, kFileValueFormat, number);
    wchar_t name[kValueNameSize];
    MultiByteToWideChar(CP_ACP, 0, ansiName, -1, name, kValueNameSize);
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(workSet, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return;
    }
    std::wstring stored(size / sizeof(wchar_t) + 1, L'\0');
    RegQueryValueExW(workSet, name, nullptr, &type, reinterpret_cast<BYTE*>(&stored[0]), &size);
    stored.resize(wcsnlen(stored.c_str(), size / sizeof(wchar_t)));
    if (!AnsiHolds(stored)) {
        Check(tally, Outcome::Warn,
              "the ANSI code page cannot hold the stored path: stored \"%s\", the tool "
              "reads \"%s\"",
              ReportText(stored).c_str(), file);
    }
}

static void InspectEntry(HKEY workSet, DWORD number, const InspectOptions& options, Tally& tally) {
    PendingEntry entry;
    if (!ReadEntry(workSet, number, &entry)) {
        bool isFile = entry.modeStatus == kValueRead;
        char valueName[kValueNameSize];
        wsprintfA(valueName, isFile ? kFileValueFormat : kModeValueFormat, number);
        Say(1, "entry %lu: skipped: \"%s\" %s", number, valueName,
            ValueProblem(isFile ? entry.fileStatus : entry.modeStatus, isFile));
        ++tally.entriesSkipped;
        return;
    }
    char kind = EntryKind(entry);
    bool is64Bit = EntryIs64Bit(entry);
    switch (FilterEntry(kind, entry.file)) {
    case kEntryEmptyFile:
        Say(1, "entry %lu (%s): skipped: the file value is empty", number, entry.mode);
        ++tally.entriesSkipped;
        return;
    case kEntryUnknownKind:
        Say(1, "entry %lu (%s): skipped: the kind letter is not D, E or T", number, entry.mode);
        ++tally.entriesSkipped;
        return;
    case kEntryRuns:
        break;
    }
    const char* path = is64Bit ? options.systemDirectory : options.toolPath;
    char commandLine[kPathBufferSize];
    if (!FormatCommandLine(kind, entry.file, is64Bit, path, commandLine)) {
        Say(1, "entry %lu (%s): skipped: its command line would not fit in %d bytes", number,
            entry.mode, kPathBufferSize);
        ++tally.entriesSkipped;
        return;
    }
    Say(1, "entry %lu (%s): runs %s", number, entry.mode, commandLine);
    ++tally.entriesRun;
    CheckStoredPath(workSet, number, entry.file, tally);
    Report(tally, CheckEntryFile(kind, is64Bit, entry.file, options.files));
}

// Entries 1 to count, as the pass takes them, but only those that exist are
// read one by one; the numbers between are reported as ranges.
static void InspectEntries(HKEY workSet, DWORD count, const InspectOptions& options, Tally& tally) {
    uint64_t next = 1;
    std::vector<DWORD> numbers = RecordedNumbers(workSet);
    for (DWORD number : numbers) {
        if (number > count) {
            break;
        }
        if (number > next) {
            ReportGap(next, number - 1, tally);
        }
        InspectEntry(workSet, number, options, tally);
        next = static_cast<uint64_t>(number) + 1;
    }
    if (next <= count) {
        ReportGap(next, count, tally);
    }
    for (DWORD number : numbers) {
        if (number > count) {
            Say(1, "entry %lu: never run: it lies beyond \"count\" (%lu)", number, count);
            ++tally.entriesSkipped;
        }
    }
}

static const char* CountProblem(ValueStatus status) {
    switch (status) {
    case kValueMissing:
        return "\"count\" is missing";
    case kValueWrongType:
        return "\"count\" is not a REG_DWORD";
    case kValueTooLong:
        return "\"count\" is longer than 4 bytes";
    default:
        return "\"count\" is 0";
    }
}

// The pass cannot delete a work set that has a key of its own inside.
static bool HasSubkey(HKEY workSet) {
    char name[kPathBufferSize];
    return RegEnumKeyA(workSet, 0, name, kPathBufferSize) == ERROR_SUCCESS;
}

static void InspectWorkSet(HKEY key, const char* name, const InspectOptions& options,
                           Tally& tally) {
    ++tally.workSets;
    HKEY workSet;
    if (!OpenWorkSet(key, name, &workSet)) {
        Say(0, "work set \"%s\": deleted without running anything: it cannot be opened", name);
        ++tally.workSetsUnrun;
        return;
    }
    bool stays = HasSubkey(workSet);
    const char* end = stays ? "then stays: it has a subkey, so the pass cannot delete it and "
                              "every later pass runs it again"
                            : "then is deleted";
    tally.workSetsKept += stays ? 1 : 0;
    DWORD count;
    ValueStatus status = ReadCount(workSet, &count);
    if (count == 0) {
        Say(0, "work set \"%s\": runs nothing (%s), %s", name, CountProblem(status), end);
        ++tally.workSetsUnrun;
    } else {
        Say(0, "work set \"%s\": runs entries 1 to %lu, %s", name, count, end);
        InspectEntries(workSet, count, options, tally);
    }
    RegCloseKey(workSet);
}

void InspectWorkSets(HKEY key, const InspectOptions& options, Tally& tally) {
    char name[kPathBufferSize];
    // The pass deletes each work set it has run and asks for the next one
    // past those it had to keep; nothing is deleted here, so every work set
    // is passed over in turn, in the same order.
    for (DWORD index = 0; FindWorkSet(key, index, name); ++index) {
        InspectWorkSet(key, name, options, tally);
    }
}

#include "inspect/Inspect.h"

#include "checks/entry/EntryFile.h"
#include "checks/entry/EntrySafety.h"
#include "checks/entry/ModuleSafety.h"
#include "pending/Launcher.h"
#include "pending/PendingStore.h"

#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

// Registry value names have at most 16,383 characters, key names 255.
const DWORD kValueNameRoom = 16384;
const DWORD kKeyNameRoom = 256;
// Beyond this many numbers without values, the pass's tries take long enough
// to matter: each costs a registry query.
const uint64_t kSlowGap = 10000000;

static FindingCode ValueProblem(ValueStatus status, bool isFile) {
    switch (status) {
    case kValueWrongType:
        return FindingCode::ValueNotAString;
    case kValueTooLong:
        return isFile ? FindingCode::FileValueTooLong : FindingCode::ModeTooLong;
    default:
        return FindingCode::ValueMissing;
    }
}

// The entry number whose value this is, when the pass would read it under
// that name: the name must be exactly what the pass formats for the number
// (no leading zeros, no sign). 0 when it is no entry's value.
static DWORD EntryNumberOf(const wchar_t* name) {
    const wchar_t* dot = wcsrchr(name, L'.');
    if (dot == nullptr || dot == name || dot - name > 10) {
        return 0;
    }
    wchar_t* end = nullptr;
    unsigned long long number = wcstoull(name, &end, 10);
    if (end != dot || number == 0 || number > 0xFFFFFFFFull) {
        return 0;
    }
    char formatted[kValueNameSize];
    for (const char* format : {kModeValueFormat, kFileValueFormat}) {
        wsprintfA(formatted, format, static_cast<DWORD>(number));
        if (SameName(AnsiToWide(formatted), name)) {
            return static_cast<DWORD>(number);
        }
    }
    return 0;
}

// The numbers of the entries that have at least one value, ascending. Found
// by listing the values rather than by trying every number up to the count,
// which may be four billion. Listed by their UTF-16 names, which always fit:
// in a double-byte code page, an ANSI name may take twice the room.
static std::vector<DWORD> RecordedNumbers(HKEY workSet) {
    std::vector<DWORD> numbers;
    std::vector<wchar_t> name(kValueNameRoom);
    for (DWORD index = 0;; ++index) {
        DWORD length = kValueNameRoom;
        LONG status =
            RegEnumValueW(workSet, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
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
    JsonEntry({first, last, "", "", ""});
    if (first == last) {
        SayVerdict(tally, 1, MakeFinding(FindingCode::EntryWithoutValues, {Number(first)}));
        return;
    }
    SayVerdict(tally, 1,
               MakeFinding(last - first + 1 >= kSlowGap ? FindingCode::ManyEntriesWithoutValues
                                                        : FindingCode::EntriesWithoutValues,
                           {Number(first), Number(last)}));
}

// The tool reads the file value through the ANSI code page; characters that
// it cannot hold come back as "?" or as a look-alike and name another file,
// or none: the pass cannot use the path that was stored.
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
        SayFinding(tally, 2,
                   MakeFinding(FindingCode::StoredPathUnheld, {Path(stored), Path(file)}));
    }
}

static void InspectEntry(HKEY workSet, DWORD number, const InspectOptions& options, Tally& tally) {
    PendingEntry entry;
    if (!ReadEntry(workSet, number, &entry)) {
        bool isFile = entry.modeStatus == kValueRead;
        char valueName[kValueNameSize];
        wsprintfA(valueName, isFile ? kFileValueFormat : kModeValueFormat, number);
        JsonEntry({number, number, "", "", ""});
        SayVerdict(tally, 1,
                   MakeFinding(ValueProblem(isFile ? entry.fileStatus : entry.modeStatus, isFile),
                               {Number(number), Words(valueName)}));
        return;
    }
    char kind = EntryKind(entry);
    bool is64Bit = EntryIs64Bit(entry);
    EntryFilter filtered = FilterEntry(kind, entry.file);
    if (filtered != kEntryRuns) {
        JsonEntry({number, number, entry.mode, entry.file, ""});
        SayVerdict(tally, 1,
                   MakeFinding(filtered == kEntryEmptyFile ? FindingCode::FileValueEmpty
                                                           : FindingCode::KindUnknown,
                               {Number(number), Words(entry.mode)}));
        return;
    }
    const char* path = is64Bit ? options.systemDirectory : options.toolPath;
    char commandLine[kPathBufferSize];
    if (!FormatCommandLine(kind, entry.file, is64Bit, path, commandLine)) {
        JsonEntry({number, number, entry.mode, entry.file, ""});
        SayVerdict(tally, 1,
                   MakeFinding(FindingCode::CommandLineTooLong,
                               {Number(number), Words(entry.mode), Number(kLongestCommandLine),
                                About(std::string(entry.file))}));
        return;
    }
    JsonEntry({number, number, entry.mode, entry.file, commandLine});
    SayVerdict(
        tally, 1,
        MakeFinding(FindingCode::EntryRuns, {Number(number), Words(entry.mode), Words(commandLine),
                                             About(std::string(entry.file))}));
    CheckStoredPath(workSet, number, entry.file, tally);
    Report(tally, 2, CheckEntryFile(kind, is64Bit, entry.file, options.files));
    Report(tally, 2, CheckEntrySafety(kind, is64Bit, entry.file, options.files.renames));
    Report(tally, 2, CheckModuleSafety(kind, is64Bit, entry.file, options.files));
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
            JsonEntry({number, number, "", "", ""});
            SayVerdict(tally, 1,
                       MakeFinding(FindingCode::EntryBeyondCount, {Number(number), Number(count)}));
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

// Whether the pass's deletion of a work set will succeed, and if not, why.
enum class Deletion { Succeeds, HasSubkey, Refused, SubkeysUnseen };

static bool HasSubkey(HKEY workSet) {
    wchar_t name[kKeyNameRoom];
    DWORD length = kKeyNameRoom;
    LONG status = RegEnumKeyExW(workSet, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

// The pass deletes a work set with RegDeleteKeyA, which fails for a key that
// has a key of its own inside, or whose access list refuses DELETE. The
// subkeys are listed through the pass's own handle when it opened the work
// set, or else through one opened only to list them; an access list that
// refuses reading refuses that too. DELETE is learned by opening the work
// set for it; nothing is deleted.
static Deletion PredictDeletion(HKEY key, const char* name, HKEY workSet) {
    HKEY listing = workSet;
    if (listing == nullptr &&
        RegOpenKeyExA(key, name, 0, KEY_ENUMERATE_SUB_KEYS, &listing) != ERROR_SUCCESS) {
        listing = nullptr;
    }
    bool hasSubkey = listing != nullptr && HasSubkey(listing);
    if (listing != nullptr && listing != workSet) {
        RegCloseKey(listing);
    }
    if (hasSubkey) {
        return Deletion::HasSubkey;
    }
    HKEY deletable;
    if (RegOpenKeyExA(key, name, 0, DELETE, &deletable) != ERROR_SUCCESS) {
        return Deletion::Refused;
    }
    RegCloseKey(deletable);
    return listing == nullptr ? Deletion::SubkeysUnseen : Deletion::Succeeds;
}

// The work set's line, by what it runs (entries is 0 when it runs nothing,
// and then why says why) and whether it stays.
static Finding WorkSetLine(const std::string& shown, DWORD entries, const char* why,
                           Deletion deletion) {
    static const FindingCode kRuns[] = {FindingCode::WorkSetRuns, FindingCode::WorkSetHasSubkey,
                                        FindingCode::WorkSetDeleteRefused,
                                        FindingCode::WorkSetRuns};
    static const FindingCode kNothing[] = {
        FindingCode::WorkSetRunsNothing, FindingCode::WorkSetRunsNothingHasSubkey,
        FindingCode::WorkSetRunsNothingDeleteRefused, FindingCode::WorkSetUnopenedUnlisted};
    int index = static_cast<int>(deletion);
    if (entries != 0) {
        return MakeFinding(kRuns[index], {Words(shown), Number(entries)});
    }
    return MakeFinding(kNothing[index], {Words(shown), Words(why)});
}

// Runs through one work set that the pass opens under its ANSI name, as the
// pass will. True when the pass deletes it afterwards.
static bool InspectWorkSet(HKEY key, const std::string& shownName, const char* name,
                           const InspectOptions& options, Tally& tally) {
    HKEY workSet = nullptr;
    bool opened = OpenWorkSet(key, name, &workSet);
    Deletion deletion = PredictDeletion(key, name, opened ? workSet : nullptr);
    bool deleted = deletion == Deletion::Succeeds || deletion == Deletion::SubkeysUnseen;
    JsonWorkSet(shownName);
    if (!opened) {
        SayVerdict(tally, 0,
                   deletion == Deletion::Succeeds
                       ? MakeFinding(FindingCode::WorkSetUnopened, {Words(shownName)})
                       : WorkSetLine(shownName, 0, "it cannot be opened", deletion));
        return deleted;
    }
    DWORD count;
    ValueStatus status = ReadCount(workSet, &count);
    SayVerdict(tally, 0, WorkSetLine(shownName, count, CountProblem(status), deletion));
    if (count != 0) {
        InspectKeySafety(workSet, "the work set \"" + shownName + "\"",
                         std::string("HKLM\\") + PendingKeyPath + "\\" + name, 1, tally);
        InspectEntries(workSet, count, options, tally);
    }
    RegCloseKey(workSet);
    return deleted;
}

// A work set as the registry lists it: its name, and the name that the pass
// gets for it from RegEnumKeyA, through the ANSI code page.
struct ListedWorkSet {
    std::wstring name;
    std::string ansiName;
    bool deleted;
};

static std::vector<ListedWorkSet> ListWorkSets(HKEY key) {
    std::vector<ListedWorkSet> listed;
    char ansiName[kPathBufferSize];
    wchar_t name[kKeyNameRoom];
    for (DWORD index = 0; FindWorkSet(key, index, ansiName); ++index) {
        DWORD length = kKeyNameRoom;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        listed.push_back({std::wstring(name, length), ansiName, false});
    }
    return listed;
}

// The work set that an ANSI name opens among those still there: the one
// whose name it is, which is another work set's, or none, when the code page
// could not hold the name it was read from.
static ListedWorkSet* Named(std::vector<ListedWorkSet>& listed, const std::string& ansiName) {
    std::wstring name = AnsiToWide(ansiName.c_str());
    for (ListedWorkSet& workSet : listed) {
        if (!workSet.deleted && SameName(workSet.name, name)) {
            return &workSet;
        }
    }
    return nullptr;
}

// The work set at the pass's index: work sets the pass has deleted are gone
// from the registry's list, and those it had to keep come before the index.
static ListedWorkSet* AtIndex(std::vector<ListedWorkSet>& listed, size_t index) {
    for (ListedWorkSet& workSet : listed) {
        if (!workSet.deleted && index-- == 0) {
            return &workSet;
        }
    }
    return nullptr;
}

bool Judged(const InspectOptions& options, const std::wstring& name) {
    return options.workSet.empty() || SameName(AnsiToWide(options.workSet.c_str()), name);
}

// Whether the pass deletes a work set that the report does not judge, for
// the walk that follows the pass's own.
static bool PassDeletes(HKEY key, const char* name) {
    HKEY workSet = nullptr;
    bool opened = OpenWorkSet(key, name, &workSet);
    Deletion deletion = PredictDeletion(key, name, opened ? workSet : nullptr);
    if (opened) {
        RegCloseKey(workSet);
    }
    return deletion == Deletion::Succeeds || deletion == Deletion::SubkeysUnseen;
}

void InspectWorkSets(HKEY key, const InspectOptions& options, Tally& tally) {
    // The pass asks for the work set at an index, opens and deletes it under
    // the name it got, and moves the index past it only when the deletion
    // fails. Nothing is deleted here: the pass's walk is followed on the
    // list, deletions included, so that a name the ANSI code page cannot hold
    // (which opens another work set, or none) is met as the pass meets it.
    std::vector<ListedWorkSet> listed = ListWorkSets(key);
    size_t kept = 0;
    for (ListedWorkSet* found; (found = AtIndex(listed, kept)) != nullptr;) {
        std::string shown = ReportText(found->name);
        ListedWorkSet* taken = Named(listed, found->ansiName);
        if (!Judged(options, found->name)) {
            if (taken != nullptr && PassDeletes(key, found->ansiName.c_str())) {
                taken->deleted = true;
            } else {
                ++kept;
            }
            continue;
        }
        ++tally.workSets;
        if (taken == nullptr) {
            JsonWorkSet(shown);
            SayVerdict(tally, 0,
                       MakeFinding(FindingCode::WorkSetNameUnheld,
                                   {Words(shown), Words(found->ansiName)}));
            ++kept;
            continue;
        }
        if (taken != found) {
            JsonWorkSet(shown);
            SayVerdict(
                tally, 0,
                MakeFinding(FindingCode::WorkSetNameTaken, {Words(shown), Words(found->ansiName),
                                                            Words(ReportText(taken->name))}));
        }
        if (InspectWorkSet(key, ReportText(taken->name), found->ansiName.c_str(), options, tally)) {
            taken->deleted = true;
        } else {
            ++kept;
        }
    }
    JsonEndWorkSets();
}

#include "checks/renames/RestartRenames.h"

#include "checks/paths/FileIdentity.h"
#include "checks/paths/PathNames.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

const wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";

namespace {

const wchar_t kRenameList[] = L"PendingFileRenameOperations";
// Each try is a few registry calls; another writer that comes between every
// one of them keeps changing the list.
const int kWriteTries = 5;

// A path of the list as the user writes it: without the "!" that marks a
// replacing move and without the native "\??\" (or "\??\UNC\") in front.
std::wstring PlainPath(const wchar_t* entry, bool* replace) {
    *replace = *entry == L'!';
    if (*replace) {
        ++entry;
    }
    if (wcsncmp(entry, L"\\??\\UNC\\", 8) == 0) {
        return L"\\\\" + std::wstring(entry + 8);
    }
    if (wcsncmp(entry, L"\\??\\", 4) == 0) {
        entry += 4;
    }
    return entry;
}

// The registry's list: NUL-separated strings, with room for two more NULs
// after it so that a list stored without its terminators still ends.
std::vector<wchar_t> ReadRenameList() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    std::vector<wchar_t> list;
    if (RegQueryValueExW(key, kRenameList, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        list.assign(size / sizeof(wchar_t) + 2, L'\0');
        if (RegQueryValueExW(key, kRenameList, nullptr, &type, reinterpret_cast<BYTE*>(list.data()),
                             &size) != ERROR_SUCCESS) {
            list.clear();
        }
    }
    RegCloseKey(key);
    return list;
}

enum class Kind { None, File, Folder };

Kind KindNow(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Kind::None;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Folder : Kind::File;
}

// Where something at a path after some renames lies now.
struct Trace {
    Kind kind;
    std::wstring full;  // where it lies now, full and long
    std::wstring shown; // the same, as the renames write it
    // The rename that left nothing at the path, when one did.
    const PendingRename* endedBy;
};

// Follows the path back through the first count renames, the last first, to
// where its bytes lie now: a move onto it (or onto a folder above it) leads
// to the move's source; a deletion of it, or a move away from it, ends it.
Trace TraceBack(const std::vector<PendingRename>& renames, const std::wstring& full,
                const std::wstring& shown, size_t count) {
    Trace trace = {Kind::None, full, shown, nullptr};
    for (size_t index = count; index-- > 0;) {
        const PendingRename& rename = renames[index];
        std::wstring rest;
        if (!rename.succeeds) {
            continue;
        }
        if (rename.toFull.empty()) {
            // Only an empty folder can be deleted, so a deletion ends
            // nothing below the path it names.
            if (SamePath(trace.full, rename.fromFull)) {
                trace.endedBy = &rename;
                return trace;
            }
        } else if (Below(trace.full, rename.toFull, &rest)) {
            trace.full = rename.fromFull + rest;
            trace.shown = rename.from + rest;
        } else if (Below(trace.full, rename.fromFull, &rest)) {
            trace.endedBy = &rename;
            return trace;
        }
    }
    trace.kind = KindNow(trace.full);
    return trace;
}

// Settles whether each rename succeeds at restart, taken in order: its
// source must be there, and a move must find its target free, unless it may
// replace an existing file with a file.
void Replay(std::vector<PendingRename>& renames) {
    for (size_t index = 0; index < renames.size(); ++index) {
        PendingRename& rename = renames[index];
        Kind source = TraceBack(renames, rename.fromFull, rename.from, index).kind;
        Kind target = rename.toFull.empty()
                          ? Kind::None
                          : TraceBack(renames, rename.toFull, rename.to, index).kind;
        rename.succeeds = source != Kind::None &&
                          (target == Kind::None ||
                           (rename.replace && target == Kind::File && source == Kind::File));
    }
}

// Whether the rename changes what lies at the path.
bool Touches(const PendingRename& rename, const std::wstring& full) {
    std::wstring rest;
    return Below(full, rename.fromFull, &rest) || Below(full, rename.toFull, &rest);
}

} // namespace

namespace {

// The list's pairs: the file to move, then where to; an empty second string
// deletes the file.
std::vector<StoredRename> PairsOf(const std::vector<wchar_t>& list) {
    std::vector<StoredRename> stored;
    const wchar_t* end = list.data() + (list.size() < 2 ? 0 : list.size() - 2);
    for (const wchar_t* at = list.data(); at < end && *at != L'\0';) {
        StoredRename pair;
        pair.from = at;
        at += wcslen(at) + 1;
        if (at >= end) {
            break;
        }
        pair.to = at;
        at += wcslen(at) + 1;
        stored.push_back(pair);
    }
    return stored;
}

} // namespace

std::vector<StoredRename> ReadStoredRenames() {
    return PairsOf(ReadRenameList());
}

namespace {

// Plain pointers, set before any use: nothing for the start-up to construct.
RenameListWriteHook writeHook = nullptr;
void* writeHookContext = nullptr;

// Whether the list holds the pair, as many times as wanted.
bool Holds(const std::vector<StoredRename>& list, const StoredRename& pair) {
    for (const StoredRename& one : list) {
        if (one.from == pair.from && one.to == pair.to) {
            return true;
        }
    }
    return false;
}

// The list written as given; deleted when it holds no pair.
LONG WriteStoredRenames(const std::vector<StoredRename>& kept) {
    std::wstring list;
    for (const StoredRename& pair : kept) {
        list += pair.from;
        list += L'\0';
        list += pair.to;
        list += L'\0';
    }
    list += L'\0';
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = kept.empty() ? RegDeleteValueW(key, kRenameList)
                          : RegSetValueExW(key, kRenameList, 0, REG_MULTI_SZ,
                                           reinterpret_cast<const BYTE*>(list.data()),
                                           static_cast<DWORD>(list.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

// Whether the list as read back holds every pair kept and none taken.
bool WrittenAsMeant(const std::vector<StoredRename>& kept,
                    const std::vector<StoredRename>& takenOut) {
    std::vector<StoredRename> now = ReadStoredRenames();
    bool meant = true;
    for (const StoredRename& pair : kept) {
        meant = meant && Holds(now, pair);
    }
    for (const StoredRename& pair : takenOut) {
        meant = meant && !Holds(now, pair);
    }
    return meant;
}

} // namespace

void SetRenameListWriteHook(RenameListWriteHook hook, void* context) {
    writeHook = hook;
    writeHookContext = context;
}

bool TakeOutStoredRenames(bool (*leave)(const StoredRename& pair, const void* context),
                          const void* context, std::vector<StoredRename>* taken,
                          std::string* error) {
    for (int attempt = 0; attempt < kWriteTries; ++attempt) {
        std::vector<wchar_t> list = ReadRenameList();
        std::vector<StoredRename> read = PairsOf(list);
        std::vector<StoredRename> kept;
        std::vector<StoredRename> takenOut;
        for (const StoredRename& pair : read) {
            (leave(pair, context) ? takenOut : kept).push_back(pair);
        }
        if (takenOut.empty()) {
            return true;
        }
        if (writeHook != nullptr) {
            writeHook(writeHookContext);
        }
        // The registry has no compare-and-write: a pair scheduled since the
        // list was read would be lost by writing what was read.
        if (ReadRenameList() != list) {
            continue;
        }
        LONG status = WriteStoredRenames(kept);
        if (status != ERROR_SUCCESS) {
            *error = "error " + std::to_string(status);
            return false;
        }
        // Another writer that read the list before this write and writes it
        // after puts the pairs taken out back.
        if (WrittenAsMeant(kept, takenOut)) {
            *taken = takenOut;
            return true;
        }
    }
    *error = "another process kept changing it";
    return false;
}

std::wstring StoredRenamePath(const std::wstring& stored, bool* replace) {
    return PlainPath(stored.c_str(), replace);
}

std::vector<PendingRename> ReadPendingRenames() {
    std::vector<PendingRename> renames;
    for (const StoredRename& pair : ReadStoredRenames()) {
        PendingRename rename;
        bool ignored;
        rename.from = PlainPath(pair.from.c_str(), &ignored);
        rename.to = PlainPath(pair.to.c_str(), &rename.replace);
        rename.fromFull = ComparablePath(rename.from);
        rename.toFull = rename.to.empty() ? std::wstring() : ComparablePath(rename.to);
        renames.push_back(rename);
    }
    Replay(renames);
    return renames;
}

bool HasPendingRenames(const std::vector<PendingRename>& renames, const std::wstring& path) {
    std::wstring full = ComparablePath(path);
    for (const PendingRename& rename : renames) {
        if (Touches(rename, full)) {
            return true;
        }
    }
    return false;
}

AfterRestart FindAfterRestart(const std::vector<PendingRename>& renames, const std::wstring& path) {
    AfterRestart after;
    // Without pending renames, what lies there now is what the pass finds;
    // the path need not be made long to be compared with none.
    if (renames.empty()) {
        after.presentNow = after.present = KindNow(path) == Kind::File;
        after.origin = path;
        return after;
    }
    std::wstring full = ComparablePath(path);
    Trace trace = TraceBack(renames, full, path, renames.size());
    after.presentNow = KindNow(full) == Kind::File;
    after.present = trace.kind == Kind::File;
    after.origin = trace.shown;
    std::wstring rest;
    if (after.presentNow && trace.endedBy != nullptr) {
        after.leaves = true;
        if (!trace.endedBy->toFull.empty() && Below(full, trace.endedBy->fromFull, &rest)) {
            after.leftTo = trace.endedBy->to + rest;
        }
    }
    // A rename onto the path that fails matters only when no later one
    // changes the path again.
    for (size_t index = 0; index < renames.size(); ++index) {
        const PendingRename& rename = renames[index];
        if (rename.succeeds && Touches(rename, full)) {
            after.failed = nullptr;
        } else if (!rename.succeeds && Below(full, rename.toFull, &rest)) {
            after.failed = &rename;
            after.failure =
                TraceBack(renames, rename.fromFull, rename.from, index).kind == Kind::None
                    ? RenameFailure::SourceMissing
                    : RenameFailure::TargetExists;
        }
    }
    return after;
}

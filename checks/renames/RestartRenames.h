#pragma once
// The renames that the next restart carries out before anything else runs:
// the platform's pending moves and deletions (PendingFileRenameOperations),
// applied as the restart applies them, so that the checks can say what will
// lie at a path when the pass runs, and where its bytes lie now.
#include <string>
#include <vector>

// The key under HKEY_LOCAL_MACHINE that holds the list, and the loader's and
// the machine's settings beside it.
extern const wchar_t kSessionManagerKey[];

// One pending rename, with its paths as the list writes them and in their
// comparable form (ComparablePath: a short name, "/", "..", a trailing dot
// and the long name of one file meet).
struct PendingRename {
    std::wstring from;
    std::wstring to; // empty: a deletion
    bool replace;    // a move that may replace an existing file
    std::wstring fromFull;
    std::wstring toFull;
    // Whether it succeeds at restart, after those before it.
    bool succeeds;
};

// One pair of the list as it is stored: "\??\" in front, "!" before the
// target of a replacing move, an empty target for a deletion.
struct StoredRename {
    std::wstring from;
    std::wstring to;
};

// The list's pairs as stored, in order: for the recorder, which takes its own
// pairs out of the list again and must leave everybody else's as they were.
std::vector<StoredRename> ReadStoredRenames();

// Takes out of the list the pairs that leave chooses and keeps every other
// pair there when it writes, those scheduled since the caller looked
// included: the list is read again just before it is written, and once more
// to see that it did not change meanwhile; then read back, every pair kept
// must be there and none taken. Tried again a few times when another writer
// came between; false, with the reason, when it could not be done. The list
// goes when no pair is left. taken, empty on entry, receives the pairs taken
// out, in order.
// leave is asked with the context given.
bool TakeOutStoredRenames(bool (*leave)(const StoredRename& pair, const void* context),
                          const void* context, std::vector<StoredRename>* taken,
                          std::string* error);

// For the tests: runs, with the context, between the list's reading and its
// writing, where another process may schedule a move; null for none.
using RenameListWriteHook = void (*)(void* context);
void SetRenameListWriteHook(RenameListWriteHook hook, void* context);

// The path that a stored string names, as the list's user wrote it; replace
// receives whether it carries the mark of a replacing move.
std::wstring StoredRenamePath(const std::wstring& stored, bool* replace);

// The machine's pending renames, in the order the restart carries them out,
// each with whether it succeeds then.
std::vector<PendingRename> ReadPendingRenames();

// Why a rename onto a path does nothing at restart.
enum class RenameFailure { None, SourceMissing, TargetExists };

// What lies at a path once the restart's renames are done.
struct AfterRestart {
    bool presentNow = false;
    bool present = false;
    // Where the file's bytes lie now, as the renames write it: the path itself
    // unless renames put another file there.
    std::wstring origin;
    // A file present now that the renames take away: deleted (leftTo empty)
    // or moved to leftTo.
    bool leaves = false;
    std::wstring leftTo;
    // The last rename that would have put a file at the path and does not.
    const PendingRename* failed = nullptr;
    RenameFailure failure = RenameFailure::None;
};

// Whether a pending rename changes what lies at the path: moves a file onto
// it or away from it, deletes it, or does so to a folder above it.
bool HasPendingRenames(const std::vector<PendingRename>& renames, const std::wstring& path);

AfterRestart FindAfterRestart(const std::vector<PendingRename>& renames, const std::wstring& path);

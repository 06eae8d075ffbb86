#pragma once
// Writing entries into a work set of the pending key, in the layout and with
// the value names that the pass reads (pending/PendingStore.h).
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// One entry to record: its mode ("D", "DX", "E" or "T") and the path as the
// pass will read it.
struct NewEntry {
    std::string mode;
    std::string file;
};

// Whether the name can be a work set's: not empty, no backslash (that would
// make a key inside another), at most 255 characters (the registry's limit
// for a key name), and held by the ANSI code page, since the pass opens and
// deletes work sets by their ANSI names. Complains when not.
bool WorkSetName(const std::wstring& name, std::string* ansi);

// Appends the entries to the work set (a new one with a name of its own when
// name is empty, which is then filled in) in the view of a tool of toolBits.
// Every value goes in before "count" is raised, once, at the end: a run cut
// short leaves only values beyond the count, which the pass never reads and
// the next append overwrites. first receives the number of the first entry
// written. False, complained, with nothing left changed, when it could not.
bool AppendEntries(int toolBits, const std::vector<NewEntry>& entries, std::string* name,
                   DWORD* first);

// What became of deleting a work set.
enum class WorkSetDeletion { Deleted, NotThere, Failed };

// Deletes the work set; Failed, complained, when it is there but cannot be
// deleted.
WorkSetDeletion DeleteWorkSet(int toolBits, const std::string& name);

// Whether the work set is recorded in the view of a tool of toolBits.
bool WorkSetRecorded(int toolBits, const std::string& name);

// Whether the work set is there; count receives the count the pass reads.
bool WorkSetCount(int toolBits, const std::string& name, DWORD* count);

// Cuts the work set back to its first count entries, for an install that
// takes back what it appended and leaves what earlier runs recorded. The
// count goes down first, so that a run cut short leaves only values beyond
// the count, as an append cut short does. False, complained, when the count
// could not be written.
bool CutWorkSetBack(int toolBits, const std::string& name, DWORD count);

// Whether any work set is recorded, in either registry view: the pass that a
// RunOnce value starts has work as long as one is.
bool AnyWorkSetRecorded();

// The entries of the work set, numbers 1 to its count, as the pass reads
// them (those it would skip left out); none when it is not there.
std::vector<std::pair<DWORD, NewEntry>> RecordedEntries(int toolBits, const std::string& name);

// How the recorder names the key in its messages.
std::string KeyShown(int toolBits);

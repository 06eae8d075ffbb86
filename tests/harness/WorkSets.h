#pragma once
// Recording work sets under the pending key the way an installer would, with
// every value stored exactly as given, and reading back what is left.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace harness {

extern const char kPendingKey[];
// Where the recorder notes what it made for each product (64-bit view).
extern const char kProductRecordKey[];

// One registry value exactly as stored: name, type and bytes. "{dir}" in the
// bytes stands for the scratch folder.
struct Value {
    std::string name;
    DWORD type;
    std::string bytes;
};

Value Sz(const std::string& name, const std::string& text);
Value Dword(const std::string& name, DWORD number);

struct Entry {
    const char* mode;
    const char* file; // in the scratch folder; "" for an empty file value
};

// A work set as the recording installer writes it: "count", then N.mode and
// N.file for every entry.
std::vector<Value> Entries(std::initializer_list<Entry> entries);
// Values added after the entries, or replacing one of them by name.
std::vector<Value> With(std::vector<Value> values, std::initializer_list<Value> changes);
std::vector<Value> Without(std::vector<Value> values, const std::string& name);

struct WorkSet {
    std::string name; // "": the values go in the pending key itself
    std::vector<Value> values;
    bool hasSubkey = false;         // a key of its own inside: deleting the work set fails
    DWORD denied = 0;               // access refused to everyone on the work set's key
    std::wstring unicodeName = L""; // when set, the name instead of name, written as UTF-16
};

// Records the work sets under the pending key, in the given registry view
// (0: this program's own). False when any of it could not be written.
bool RecordWorkSets(const std::vector<WorkSet>& workSets, const std::string& dir, REGSAM view = 0);

// Removes the pending key in both views, whatever access lists it was
// recorded with.
void RemovePendingKey();
// Removes the products' record, whatever access lists it was made with.
void RemoveProductRecord();

// Refuses the given access to everyone on a key under HKEY_LOCAL_MACHINE, and
// allows the rest; AllowEverything gives it all back, to the key and below.
bool DenyAccess(const std::string& path, DWORD denied);
void AllowEverything(HKEY root, const std::string& path, REGSAM view = 0);

// The work sets still recorded, in the registry's order; none when the key
// itself is gone.
std::vector<std::string> RecordedWorkSets();

// The key and everything below it as text: subkeys, value names, types and
// bytes, in the registry's order. Empty when the key is not there; a value
// that cannot be read fails the test, with the error code.
std::string DumpKey(HKEY root, const std::string& path, REGSAM view = 0);

} // namespace harness

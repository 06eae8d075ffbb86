// TEMPORARY: the entries half of the products' record, until the whole of
// record/ProductRecord.h is implemented in record/ProductRecord.cpp, which
// replaces this file. Only what add, discard, unregister and the inspector
// use is here: the entries noted per product and view, and the products.
// Its keys inherit the access list of HKLM\Software, which ordinary users
// may read and not change.
#include "record/ProductRecord.h"

#include "checks/Findings.h"
#include "checks/OutputLog.h"
#include "pending/PendingStore.h"

namespace {

const wchar_t kProductsPath[] = L"Software\\pendreg-record\\Products";
const REGSAM kView = KEY_WOW64_64KEY;
// Room for the path with a product's name, a key name of at most 255.
const int kRecordPathSize = 320;

void ProductPath(const Product& product, wchar_t* path) {
    lstrcpyW(path, kProductsPath);
    lstrcatW(path, L"\\");
    lstrcpynW(path + lstrlenW(path), product.c_str(), 256);
}

void EntriesPath(const Product& product, int toolBits, wchar_t* path) {
    ProductPath(product, path);
    lstrcatW(path, toolBits == 64 ? L"\\Entries64" : L"\\Entries32");
}

bool Unwritable(const wchar_t* path, LONG status) {
    EmitFormat(stderr, "the products' record HKLM\\%s cannot be written (error %ld)\n",
               ReportText(path).c_str(), status);
    return false;
}

// "N.mode" or "N.file", as in a work set: REG_SZ in the ANSI code page.
void EntryValueName(DWORD number, const char* what, char* name) {
    wsprintfA(name, "%lu.%s", number, what);
}

LONG WriteEntryValue(HKEY key, DWORD number, const char* what, const std::string& text) {
    char name[32];
    EntryValueName(number, what, name);
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

} // namespace

bool NoteEntries(const Product& product, int toolBits, const std::vector<NewEntry>& entries) {
    wchar_t path[kRecordPathSize];
    EntriesPath(product, toolBits, path);
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                  KEY_READ | KEY_SET_VALUE | kView, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return Unwritable(path, status);
    }
    DWORD count = 0;
    ReadCount(key, &count);
    for (const NewEntry& entry : entries) {
        ++count;
        if (status == ERROR_SUCCESS) {
            status = WriteEntryValue(key, count, "mode", entry.mode);
        }
        if (status == ERROR_SUCCESS) {
            status = WriteEntryValue(key, count, "file", entry.file);
        }
    }
    // As in a work set, the count goes last: a run cut short notes nothing
    // half-written.
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, "count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                                sizeof(count));
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS || Unwritable(path, status);
}

std::vector<NewEntry> NotedEntries(const Product& product, int toolBits) {
    std::vector<NewEntry> entries;
    wchar_t path[kRecordPathSize];
    EntriesPath(product, toolBits, path);
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | kView, &key) != ERROR_SUCCESS) {
        return entries;
    }
    // The layout of a work set, read as the pass reads one.
    DWORD count = 0;
    ReadCount(key, &count);
    for (DWORD number = 1; number <= count; ++number) {
        PendingEntry entry;
        if (ReadEntry(key, number, &entry)) {
            NewEntry noted = {entry.mode, entry.file};
            entries.push_back(noted);
        }
    }
    RegCloseKey(key);
    return entries;
}

bool ForgetEntries(const Product& product, int toolBits) {
    wchar_t path[kRecordPathSize];
    EntriesPath(product, toolBits, path);
    // The key holds values only, which go with it.
    LONG status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, kView, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return Unwritable(path, status);
    }
    // The product's key goes with the last of its views' entries: while the
    // other view's are there, it is not deleted, as a key with subkeys.
    ProductPath(product, path);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, kView, 0);
    return true;
}

std::vector<Product> NotedProducts() {
    std::vector<Product> products;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductsPath, 0, KEY_READ | kView, &key) !=
        ERROR_SUCCESS) {
        return products;
    }
    wchar_t name[256];
    for (DWORD index = 0; RegEnumKeyW(key, index, name, 256) == ERROR_SUCCESS; ++index) {
        products.push_back(name);
    }
    RegCloseKey(key);
    return products;
}

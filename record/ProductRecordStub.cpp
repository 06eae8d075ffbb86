// TEMPORARY: the entries half of the products' record, until the whole of
// record/ProductRecord.h is implemented in record/ProductRecord.cpp, which
// replaces this file. Only what add, unregister and the inspector use is
// here: the entries noted per product and view, and the products noted.
// Its keys inherit the access list of HKLM\Software, which ordinary users
// may read and not change.
#include "record/ProductRecord.h"

#include "checks/Findings.h"
#include "checks/OutputLog.h"

#include <wchar.h>

namespace {

const wchar_t kProductsPath[] = L"Software\\pendreg-record\\Products";

std::wstring ProductPath(const Product& product) {
    return std::wstring(kProductsPath) + L"\\" + product;
}

std::wstring EntriesPath(const Product& product, int toolBits) {
    return ProductPath(product) + (toolBits == 64 ? L"\\Entries64" : L"\\Entries32");
}

void SayUnwritable(const std::wstring& path, LONG status) {
    EmitFormat(stderr,
               "the products' record HKLM\\%s (64-bit view) cannot be written (error %ld)\n",
               ReportText(path).c_str(), status);
}

// The REG_SZ value as UTF-16 converted back to the ANSI code page the entry
// was noted in; false when it is missing or of another type.
bool ReadText(HKEY key, const std::wstring& name, std::string* text) {
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    std::wstring wide(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, &wide[0], &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    wide.resize(wcslen(wide.c_str()));
    int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    text->assign(length > 0 ? static_cast<size_t>(length - 1) : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &(*text)[0], length, nullptr, nullptr);
    return true;
}

DWORD ReadCount(HKEY key) {
    DWORD count = 0;
    DWORD size = sizeof(count);
    if (RegGetValueW(key, nullptr, L"count", RRF_RT_REG_DWORD, nullptr, &count, &size) !=
        ERROR_SUCCESS) {
        return 0;
    }
    return count;
}

LONG WriteText(HKEY key, const std::wstring& name, const std::string& text) {
    std::wstring wide = AnsiToWide(text.c_str());
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                          static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

std::wstring ValueName(DWORD number, const wchar_t* suffix) {
    return std::to_wstring(number) + suffix;
}

// Deletes the key when nothing is left in it.
void DeleteWhenEmpty(const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 1;
    DWORD values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (subkeys == 0 && values == 0) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
    }
}

} // namespace

bool NoteEntries(const Product& product, int toolBits, const std::vector<NewEntry>& entries) {
    std::wstring path = EntriesPath(product, toolBits);
    HKEY key;
    LONG status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_READ | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        SayUnwritable(path, status);
        return false;
    }
    DWORD count = ReadCount(key);
    for (const NewEntry& entry : entries) {
        ++count;
        if (status == ERROR_SUCCESS) {
            status = WriteText(key, ValueName(count, L".mode"), entry.mode);
        }
        if (status == ERROR_SUCCESS) {
            status = WriteText(key, ValueName(count, L".file"), entry.file);
        }
    }
    // As in a work set: the count goes last, so that a run cut short notes
    // nothing half-written.
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, L"count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                                sizeof(count));
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        SayUnwritable(path, status);
    }
    return status == ERROR_SUCCESS;
}

std::vector<NewEntry> NotedEntries(const Product& product, int toolBits) {
    std::vector<NewEntry> entries;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EntriesPath(product, toolBits).c_str(), 0,
                      KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return entries;
    }
    DWORD count = ReadCount(key);
    for (DWORD number = 1; number <= count; ++number) {
        NewEntry entry;
        if (ReadText(key, ValueName(number, L".mode"), &entry.mode) &&
            ReadText(key, ValueName(number, L".file"), &entry.file)) {
            entries.push_back(entry);
        }
    }
    RegCloseKey(key);
    return entries;
}

bool ForgetEntries(const Product& product, int toolBits) {
    std::wstring path = EntriesPath(product, toolBits);
    // The key holds values only, which go with it.
    LONG status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        SayUnwritable(path, status);
        return false;
    }
    DeleteWhenEmpty(ProductPath(product));
    return true;
}

std::vector<Product> NotedProducts() {
    std::vector<Product> products;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductsPath, 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return products;
    }
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name) / sizeof(name[0]);
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        products.push_back(std::wstring(name, length));
    }
    RegCloseKey(key);
    return products;
}

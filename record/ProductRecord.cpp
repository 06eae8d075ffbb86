#include "record/ProductRecord.h"

#include "checks/text/Findings.h"
#include "companion/OutputLog.h"
#include "companion/TrustedLists.h"

#include <sddl.h>
#include <stdlib.h>

namespace {

const wchar_t kRecordKey[] = L"Software\\pendreg-record";
const char kRecordShown[] = "HKLM\\Software\\pendreg-record";
// One record for both recorders, 32-bit and 64-bit: the 64-bit view (32-bit
// Windows has one view and ignores the flag).
const REGSAM kRecordView = KEY_WOW64_64KEY;
const wchar_t kProducts[] = L"Products";
const wchar_t kUnnamed[] = L"Unnamed";
const wchar_t kArmings[] = L"Armings";
const wchar_t kStaged[] = L"Staged";
const wchar_t kRelying[] = L"Relying";
const wchar_t kNext[] = L"next";

// The key of the product, below the record's.
std::wstring ProductPath(const Product& product) {
    return product.empty() ? std::wstring(kUnnamed) : std::wstring(kProducts) + L"\\" + product;
}

std::wstring EntriesPath(const Product& product, int toolBits) {
    return ProductPath(product) + (toolBits == 64 ? L"\\Entries64" : L"\\Entries32");
}

// Makes the record's own key first, with its access list, so that every key
// below inherits it.
bool CreateRoot() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRecordKeyList, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES access = {sizeof(access), descriptor, FALSE};
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0,
                                  KEY_QUERY_VALUE | kRecordView, &access, &key, nullptr);
    LocalFree(descriptor);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return status == ERROR_SUCCESS;
}

// Opens a key below the record's; with create, makes it (and the record's
// own) when it is not there. Null when it cannot be had.
HKEY OpenKey(const std::wstring& path, bool create) {
    std::wstring full = std::wstring(kRecordKey) + L"\\" + path;
    HKEY key = nullptr;
    REGSAM access = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kRecordView;
    LONG status = create && CreateRoot()
                      ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, access,
                                        nullptr, &key, nullptr)
                      : RegOpenKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, access, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

// Deletes a key below the record's with everything in it; a key not there
// is deleted already.
bool DeleteKey(const std::wstring& path) {
    std::wstring full = std::wstring(kRecordKey) + L"\\" + path;
    HKEY key;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_ALL_ACCESS | kRecordView, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (status == ERROR_SUCCESS) {
        status = RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), kRecordView, 0);
    }
    return status == ERROR_SUCCESS;
}

std::vector<std::wstring> Subkeys(const std::wstring& path) {
    std::vector<std::wstring> names;
    HKEY key = OpenKey(path, false);
    if (key == nullptr) {
        return names;
    }
    wchar_t name[256];
    for (DWORD index = 0; RegEnumKeyW(key, index, name, 256) == ERROR_SUCCESS; ++index) {
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

bool SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring Text(HKEY key, const wchar_t* name) {
    wchar_t text[32768];
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::wstring();
    }
    text[size / sizeof(wchar_t)] = L'\0';
    return text;
}

bool SetNumber(HKEY key, const wchar_t* name, DWORD number) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof(number)) == ERROR_SUCCESS;
}

DWORD Number(HKEY key, const wchar_t* name) {
    DWORD number = 0;
    DWORD size = sizeof(number);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0;
    }
    return number;
}

bool SetIdentity(HKEY key, const wchar_t* name, const FileIdentity& identity) {
    DWORD parts[3] = {identity.volume, identity.indexHigh, identity.indexLow};
    return RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(parts),
                          sizeof(parts)) == ERROR_SUCCESS;
}

FileIdentity Identity(HKEY key, const wchar_t* name) {
    DWORD parts[3] = {};
    DWORD size = sizeof(parts);
    FileIdentity identity;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(parts), &size) ==
            ERROR_SUCCESS &&
        size == sizeof(parts)) {
        identity.volume = parts[0];
        identity.indexHigh = parts[1];
        identity.indexLow = parts[2];
    }
    return identity;
}

// A new key under path, numbered after every one made there before; empty
// when none could be made.
std::wstring NewNumberedKey(const std::wstring& path) {
    HKEY parent = OpenKey(path, true);
    if (parent == nullptr) {
        return std::wstring();
    }
    DWORD number = Number(parent, kNext) + 1;
    std::wstring name = std::to_wstring(number);
    bool made = SetNumber(parent, kNext, number);
    RegCloseKey(parent);
    return made ? name : std::wstring();
}

// Said as the recorder says a refusal; the inspector, which links the
// record too, only reads it.
void Unwritable(const Product& product) {
    fflush(stdout);
    EmitFormat(stderr,
               "pendreg-record: %s: the record of what the recorder made for \"%s\" cannot be "
               "written\n",
               kRecordShown, ReportText(product).c_str());
}

std::wstring RelianceName(const Product& product) {
    return ProductPath(product);
}

// Deletes the key when nothing is in it but the numbering of its subkeys.
void DeleteWhenEmpty(const std::wstring& path) {
    HKEY key = OpenKey(path, false);
    if (key == nullptr) {
        return;
    }
    DWORD subkeys = 1;
    DWORD values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    bool numbering = values == 1 && RegQueryValueExW(key, kNext, nullptr, nullptr, nullptr,
                                                     nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (subkeys == 0 && (values == 0 || numbering)) {
        DeleteKey(path);
    }
}

// What holds nothing any more goes, up to the record's own key: a machine
// whose products are all undone is left as it was before the first.
void Tidy(const Product& product) {
    std::wstring path = ProductPath(product);
    DeleteWhenEmpty(path + L"\\" + kStaged);
    DeleteWhenEmpty(path);
    DeleteWhenEmpty(kProducts);
    DeleteWhenEmpty(kArmings);
    HKEY root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | kRecordView, &root) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 1;
    DWORD values = 1;
    RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(root);
    if (subkeys == 0 && values == 0) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, kRecordView, 0);
    }
}

} // namespace

std::string RecordShown(const Product& product) {
    return std::string(kRecordShown) + "\\" + ReportText(ProductPath(product));
}

bool NoteEntries(const Product& product, int toolBits, const std::vector<NewEntry>& entries) {
    HKEY key = OpenKey(EntriesPath(product, toolBits), true);
    bool written = key != nullptr;
    if (written) {
        DWORD count = Number(key, L"count");
        for (const NewEntry& entry : entries) {
            ++count;
            std::wstring number = std::to_wstring(count);
            written = written &&
                      SetText(key, (number + L".mode").c_str(), AnsiToWide(entry.mode.c_str())) &&
                      SetText(key, (number + L".file").c_str(), AnsiToWide(entry.file.c_str()));
        }
        // The count last: a run cut short leaves only values beyond it.
        written = written && SetNumber(key, L"count", count);
        RegCloseKey(key);
    }
    if (!written) {
        Unwritable(product);
    }
    return written;
}

std::vector<NewEntry> NotedEntries(const Product& product, int toolBits) {
    std::vector<NewEntry> entries;
    HKEY key = OpenKey(EntriesPath(product, toolBits), false);
    if (key == nullptr) {
        return entries;
    }
    DWORD count = Number(key, L"count");
    for (DWORD number = 1; number <= count; ++number) {
        std::wstring prefix = std::to_wstring(number);
        std::string mode = ReportText(Text(key, (prefix + L".mode").c_str()));
        std::string file = ReportText(Text(key, (prefix + L".file").c_str()));
        if (!mode.empty() && !file.empty()) {
            entries.push_back({mode, file});
        }
    }
    RegCloseKey(key);
    return entries;
}

bool ForgetEntries(const Product& product, int toolBits) {
    bool forgotten = DeleteKey(EntriesPath(product, toolBits));
    Tidy(product);
    return forgotten;
}

bool NoteStaged(const Product& product, StagedCopy* copy) {
    std::wstring staged = ProductPath(product) + L"\\" + kStaged;
    if (copy->key.empty()) {
        copy->key = NewNumberedKey(staged);
    }
    HKEY key = copy->key.empty() ? nullptr : OpenKey(staged + L"\\" + copy->key, true);
    bool written = key != nullptr && SetText(key, L"staged", copy->staged) &&
                   SetText(key, L"target", copy->target) &&
                   SetIdentity(key, L"stagedId", copy->stagedId) &&
                   SetIdentity(key, L"partialId", copy->partialId) &&
                   SetIdentity(key, L"folderId", copy->folderId);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    if (!written) {
        Unwritable(product);
    }
    return written;
}

std::vector<StagedCopy> NotedStaged(const Product& product) {
    std::vector<StagedCopy> copies;
    std::wstring staged = ProductPath(product) + L"\\" + kStaged;
    for (const std::wstring& name : Subkeys(staged)) {
        HKEY key = OpenKey(staged + L"\\" + name, false);
        if (key == nullptr) {
            continue;
        }
        StagedCopy copy;
        copy.key = name;
        copy.staged = Text(key, L"staged");
        copy.target = Text(key, L"target");
        copy.stagedId = Identity(key, L"stagedId");
        copy.partialId = Identity(key, L"partialId");
        copy.folderId = Identity(key, L"folderId");
        RegCloseKey(key);
        copies.push_back(copy);
    }
    return copies;
}

bool ForgetStaged(const Product& product, const StagedCopy& copy) {
    std::wstring staged = ProductPath(product) + L"\\" + kStaged;
    bool forgotten = DeleteKey(staged + L"\\" + copy.key);
    Tidy(product);
    return forgotten;
}

bool NoteArming(Arming* arming, const Product& product) {
    if (arming->key.empty()) {
        arming->key = NewNumberedKey(kArmings);
    }
    arming->madeFor = product;
    HKEY key =
        arming->key.empty() ? nullptr : OpenKey(std::wstring(kArmings) + L"\\" + arming->key, true);
    bool written =
        key != nullptr && SetText(key, L"value", arming->value) &&
        SetNumber(key, L"view", static_cast<DWORD>(arming->viewBits)) &&
        SetText(key, L"command", arming->command) && SetText(key, L"copy", arming->copy) &&
        SetIdentity(key, L"copyId", arming->copyId) && SetText(key, L"folder", arming->folder) &&
        SetIdentity(key, L"folderId", arming->folderId) &&
        SetText(key, L"madeFor", RelianceName(product));
    if (key != nullptr) {
        RegCloseKey(key);
    }
    if (!written) {
        Unwritable(product);
        return false;
    }
    return NoteReliance(product, *arming);
}

bool NoteReliance(const Product& product, const Arming& arming) {
    HKEY key = OpenKey(std::wstring(kArmings) + L"\\" + arming.key + L"\\" + kRelying, true);
    bool written = key != nullptr && SetNumber(key, RelianceName(product).c_str(), 1);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    if (!written) {
        Unwritable(product);
    }
    return written;
}

std::vector<Arming> NotedArmings() {
    std::vector<Arming> armings;
    for (const std::wstring& name : Subkeys(kArmings)) {
        HKEY key = OpenKey(std::wstring(kArmings) + L"\\" + name, false);
        if (key == nullptr) {
            continue;
        }
        Arming arming;
        arming.key = name;
        arming.value = Text(key, L"value");
        arming.viewBits = static_cast<int>(Number(key, L"view"));
        arming.command = Text(key, L"command");
        arming.copy = Text(key, L"copy");
        arming.copyId = Identity(key, L"copyId");
        arming.folder = Text(key, L"folder");
        arming.folderId = Identity(key, L"folderId");
        std::wstring madeFor = Text(key, L"madeFor");
        size_t separator = madeFor.find(L'\\');
        arming.madeFor =
            separator == std::wstring::npos ? std::wstring() : madeFor.substr(separator + 1);
        RegCloseKey(key);
        armings.push_back(arming);
    }
    return armings;
}

std::vector<Product> RelyingOn(const Arming& arming, bool* unnamed) {
    std::vector<Product> products;
    *unnamed = false;
    HKEY key = OpenKey(std::wstring(kArmings) + L"\\" + arming.key + L"\\" + kRelying, false);
    if (key == nullptr) {
        return products;
    }
    wchar_t name[512];
    DWORD length = 512;
    for (DWORD index = 0; RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr,
                                        nullptr) == ERROR_SUCCESS;
         ++index, length = 512) {
        std::wstring relying = name;
        std::wstring prefix = std::wstring(kProducts) + L"\\";
        if (relying.compare(0, prefix.size(), prefix) == 0) {
            products.push_back(relying.substr(prefix.size()));
        } else {
            *unnamed = true;
        }
    }
    RegCloseKey(key);
    return products;
}

bool ForgetArming(const Arming& arming) {
    bool forgotten = DeleteKey(std::wstring(kArmings) + L"\\" + arming.key);
    Tidy(arming.madeFor);
    return forgotten;
}

bool ForgetReliance(const Product& product) {
    bool forgotten = true;
    for (const std::wstring& name : Subkeys(kArmings)) {
        HKEY key = OpenKey(std::wstring(kArmings) + L"\\" + name + L"\\" + kRelying, false);
        if (key == nullptr) {
            continue;
        }
        LONG status = RegDeleteValueW(key, RelianceName(product).c_str());
        forgotten = forgotten && (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
        RegCloseKey(key);
    }
    return forgotten;
}

std::vector<Product> NotedProducts() {
    return Subkeys(kProducts);
}

bool ForgetProduct(const Product& product) {
    bool forgotten = ForgetReliance(product) && DeleteKey(ProductPath(product));
    Tidy(product);
    if (!forgotten) {
        Unwritable(product);
    }
    return forgotten;
}

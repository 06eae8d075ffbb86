#include "harness/WorkSets.h"

#include "harness/Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace harness {

const char kPendingKey[] = "Software\\Zelk.Library.Cormant.v3";
const char kProductRecordKey[] = "Software\\pendreg-record";

Value Sz(const std::string& name, const std::string& text) {
    return {name, REG_SZ, text + '\0'};
}

Value Dword(const std::string& name, DWORD number) {
    return {name, REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4)};
}

std::vector<Value> Entries(std::initializer_list<Entry> entries) {
    std::vector<Value> values = {Dword("count", static_cast<DWORD>(entries.size()))};
    unsigned number = 0;
    for (const Entry& entry : entries) {
        ++number;
        values.push_back(Sz(std::to_string(number) + ".mode", entry.mode));
        values.push_back(Sz(std::to_string(number) + ".file",
                            *entry.file ? std::string("{dir}\\") + entry.file : ""));
    }
    return values;
}

std::vector<Value> With(std::vector<Value> values, std::initializer_list<Value> changes) {
    for (const Value& change : changes) {
        auto same = std::find_if(values.begin(), values.end(),
                                 [&](const Value& value) { return value.name == change.name; });
        if (same != values.end()) {
            *same = change;
        } else {
            values.push_back(change);
        }
    }
    return values;
}

std::vector<Value> Without(std::vector<Value> values, const std::string& name) {
    values.erase(std::remove_if(values.begin(), values.end(),
                                [&](const Value& value) { return value.name == name; }),
                 values.end());
    return values;
}

static std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[1024];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof(name)) == ERROR_SUCCESS; ++index) {
        names.push_back(name);
    }
    return names;
}

// Gives everyone full access to the key and all below it again, so that a
// work set recorded with a refusing access list can be removed.
void AllowEverything(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, WRITE_DAC | view, &key) == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR open;
        InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open);
        RegCloseKey(key);
    }
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return;
    }
    std::vector<std::string> children = Subkeys(key);
    RegCloseKey(key);
    for (const std::string& child : children) {
        AllowEverything(root, path + "\\" + child, view);
    }
}

void RemoveProductRecord() {
    AllowEverything(HKEY_LOCAL_MACHINE, kProductRecordKey, KEY_WOW64_64KEY);
    DeleteTree(HKEY_LOCAL_MACHINE, kProductRecordKey, KEY_WOW64_64KEY);
}

void RemovePendingKey() {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        AllowEverything(HKEY_LOCAL_MACHINE, kPendingKey, view);
        DeleteTree(HKEY_LOCAL_MACHINE, kPendingKey, view);
    }
}

// Refuses the given access to everyone on the key, and allows the rest.
static bool Deny(HKEY key, DWORD denied) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    DWORD size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(everyone));
    std::vector<char> aclBytes(size);
    ACL* acl = reinterpret_cast<ACL*>(aclBytes.data());
    InitializeAcl(acl, size, ACL_REVISION);
    AddAccessDeniedAce(acl, ACL_REVISION, denied, everyone);
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    LONG status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    FreeSid(everyone);
    return status == ERROR_SUCCESS;
}

bool DenyAccess(const std::string& path, DWORD denied) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool set = Deny(key, denied);
    RegCloseKey(key);
    return set;
}

// Creates the work set's key, under its UTF-16 name when it has one.
static LONG CreateWorkSet(const WorkSet& workSet, REGSAM view, HKEY* key) {
    if (workSet.unicodeName.empty()) {
        std::string path = kPendingKey;
        path += workSet.name.empty() ? "" : "\\" + workSet.name;
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                               KEY_ALL_ACCESS | view, nullptr, key, nullptr);
    }
    std::string pending = kPendingKey;
    std::wstring path = std::wstring(pending.begin(), pending.end()) + L"\\" + workSet.unicodeName;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                           nullptr, key, nullptr);
}

bool RecordWorkSets(const std::vector<WorkSet>& workSets, const std::string& dir, REGSAM view) {
    bool recorded = true;
    for (const WorkSet& workSet : workSets) {
        HKEY key;
        if (CreateWorkSet(workSet, view, &key) != ERROR_SUCCESS) {
            recorded = false;
            continue;
        }
        for (const Value& value : workSet.values) {
            std::string bytes = ReplaceAll(value.bytes, "{dir}", dir);
            // The byte count is given exactly. A byte other than NUL follows
            // the counted ones: the platform adds a terminator that a string
            // value's count left out when the next byte in memory is NUL.
            std::string buffer = bytes + '#';
            recorded &= RegSetValueExA(key, value.name.c_str(), 0, value.type,
                                       reinterpret_cast<const BYTE*>(buffer.data()),
                                       static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
        }
        if (workSet.hasSubkey) {
            HKEY inner;
            RegCreateKeyExA(key, "inner", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &inner, nullptr);
            RegCloseKey(inner);
        }
        if (workSet.denied != 0) {
            recorded &= Deny(key, workSet.denied);
        }
        RegCloseKey(key);
    }
    return recorded;
}

std::vector<std::string> RecordedWorkSets() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPendingKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::string> names = Subkeys(key);
    RegCloseKey(key);
    return names;
}

std::string DumpKey(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    std::ostringstream dump;
    dump << "[" << path << "]\n";
    // Buffers as large as the key's longest value name and data, so that no
    // value stops the dump half-way; a character of a double-byte name may
    // take two bytes.
    DWORD longestName = 0;
    DWORD longestData = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &longestName, &longestData, nullptr, nullptr);
    std::vector<char> name(2 * (longestName + 1));
    std::vector<BYTE> data(longestData + 1);
    for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        status =
            RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_SUCCESS) {
            dump << name.data() << " " << type << " "
                 << std::string(reinterpret_cast<const char*>(data.data()), size) << "\n";
        }
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        ADD_FAILURE() << "the dump of " << path << " stopped short: error " << status;
    }
    std::vector<std::string> children = Subkeys(key);
    RegCloseKey(key);
    for (const std::string& child : children) {
        dump << DumpKey(root, path + "\\" + child, view);
    }
    return dump.str();
}

} // namespace harness

// What the tests share through the prefix, as the suite found it and as it
// leaves it. ctest runs SharedState.Recorded before every other test and
// SharedState.Unchanged after all of them (tests/CMakeLists.txt), so a guard
// or a clean-up that leaves something behind fails the run, naming it,
// instead of deciding the verdict of some later test. Discovery leaves both
// out of the list of ordinary tests.
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kEnvironment[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A value's type and bytes; empty when it is not there.
std::string ValueOf(HKEY root, const char* key, const char* name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::string();
    }
    std::string bytes(size, '\0');
    RegGetValueA(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, &bytes[0], &size);
    bytes.resize(size);
    return "type " + std::to_string(type) + ": " + bytes;
}

// The names under the Windows folder's Temp that begin as arm names its
// copies' folders, one a line.
std::string CopiesUnderWindowsTemp() {
    char windows[MAX_PATH];
    std::string temp =
        std::string(windows, GetWindowsDirectoryA(windows, MAX_PATH)) + "\\Temp\\pendreg-*";
    std::string names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(temp.c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        names += std::string(found.cFileName) + "\n";
    }
    FindClose(search);
    return names;
}

// Each thing the tests share, by the name a failure gives it.
std::map<std::string, std::string> SharedState() {
    return {
        {"RunOnce (64-bit view)",
         harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kRunOnceKey, KEY_WOW64_64KEY)},
        {"RunOnce (32-bit view)",
         harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kRunOnceKey, KEY_WOW64_32KEY)},
        {"the pending key (64-bit view)",
         harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_64KEY)},
        {"the pending key (32-bit view)",
         harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_32KEY)},
        {"the products' record",
         harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kProductRecordKey, KEY_WOW64_64KEY)},
        {"PendingFileRenameOperations",
         ValueOf(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations")},
        {"the copies under the Windows folder's Temp", CopiesUnderWindowsTemp()},
        {"the machine's PATH", ValueOf(HKEY_LOCAL_MACHINE, kEnvironment, "Path")},
        {"the user's PATH", ValueOf(HKEY_CURRENT_USER, "Environment", "Path")},
    };
}

// Beside the test program: the prefix is the run's own, but this file must
// not count as something the tests share.
std::string RecordPath() {
    return harness::FolderOf(harness::TestProgramPath()) + "\\shared-state-at-start";
}

// Each name, then its text, each counted, so that any bytes survive.
std::string Written(const std::map<std::string, std::string>& state) {
    std::string text;
    for (const auto& item : state) {
        for (const std::string* part : {&item.first, &item.second}) {
            text += std::to_string(part->size()) + ":" + *part;
        }
    }
    return text;
}

std::map<std::string, std::string> Read(const std::string& text) {
    std::map<std::string, std::string> state;
    std::string parts[2];
    for (size_t at = 0, part = 0; at < text.size(); part = 1 - part) {
        size_t colon = text.find(':', at);
        size_t size = std::stoul(text.substr(at, colon - at));
        parts[part] = text.substr(colon + 1, size);
        at = colon + 1 + size;
        if (part == 1) {
            state[parts[0]] = parts[1];
        }
    }
    return state;
}

TEST(SharedState, Recorded) {
    harness::WriteWholeFile(RecordPath(), Written(SharedState()));
}

TEST(SharedState, Unchanged) {
    std::string recorded = harness::ReadFile(RecordPath());
    ASSERT_FALSE(recorded.empty())
        << "nothing recorded at the start of the run in " << RecordPath();
    std::map<std::string, std::string> before = Read(recorded);
    for (const auto& now : SharedState()) {
        EXPECT_EQ(before[now.first], now.second)
            << "the suite leaves " << now.first << " otherwise than it found it";
    }
}

} // namespace

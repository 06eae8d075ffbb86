// The guards themselves: whatever a test changes while one lives, what the
// guard keeps is as it was once the guard goes, in both registry views, and
// what the test made anew is gone. A guard that leaves something behind
// decides the verdict of a later test.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const char kRunOnceName[] = "pendreg guard test";
const char kValueKey[] = "Software\\pendreg guard test";
const char kValueName[] = "kept";

enum class Guarded { RunOnce, Value, PendingKey, TempCopies };

std::string WindowsTemp() {
    char windows[MAX_PATH];
    return std::string(windows, GetWindowsDirectoryA(windows, MAX_PATH)) + "\\Temp\\";
}

bool SetValue(REGSAM view, const char* key, const char* name, const char* text) {
    HKEY opened;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                        &opened, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG status = RegSetValueExA(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                 static_cast<DWORD>(strlen(text) + 1));
    RegCloseKey(opened);
    return status == ERROR_SUCCESS;
}

// What a row's guard keeps, as text: one line per thing looked at.
std::string Kept(Guarded kind) {
    switch (kind) {
    case Guarded::RunOnce:
        return std::string("64-bit view: ") +
               (harness::RunOnceValueExists(kRunOnceName, KEY_WOW64_64KEY) ? "set" : "gone") +
               "\n32-bit view: " +
               (harness::RunOnceValueExists(kRunOnceName, KEY_WOW64_32KEY) ? "set" : "gone");
    case Guarded::Value: {
        char text[64] = "";
        DWORD size = sizeof(text);
        LONG status = RegGetValueA(HKEY_LOCAL_MACHINE, kValueKey, kValueName, RRF_RT_REG_SZ,
                                   nullptr, text, &size);
        return status == ERROR_SUCCESS ? std::string("value: ") + text : "value: gone";
    }
    case Guarded::PendingKey:
        return std::string("64-bit view: ") +
               (harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_64KEY)
                    ? "there"
                    : "gone") +
               "\n32-bit view: " +
               (harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_32KEY)
                    ? "there"
                    : "gone");
    case Guarded::TempCopies:
        return std::string("earlier copy: ") +
               (harness::FileExists(WindowsTemp() + "pendreg-0badf00d") ? "there" : "gone") +
               "\nnew copy: " +
               (harness::FileExists(WindowsTemp() + "pendreg-1badf00d") ? "there" : "gone");
    }
    return std::string();
}

std::shared_ptr<void> Guard(Guarded kind) {
    switch (kind) {
    case Guarded::RunOnce:
        return std::make_shared<harness::RunOnceGuard>(kRunOnceName);
    case Guarded::Value:
        return std::make_shared<harness::SavedValue>(kValueKey, kValueName);
    case Guarded::PendingKey:
        return std::make_shared<harness::PendingKeyGuard>();
    case Guarded::TempCopies:
        return std::make_shared<harness::TempCopiesGuard>();
    }
    return nullptr;
}

struct GuardCase {
    const char* name;
    Guarded kind;
    bool (*before)(); // what was there before the guard was made
    bool (*inside)(); // what the test does while the guard lives
    const char* kept; // Kept() once the guard has gone
};

void PrintTo(const GuardCase& row, std::ostream* out) {
    *out << row.name;
}

bool Nothing() {
    return true;
}

const GuardCase kGuardCases[] = {
    {"RunOnceSetIn64BitViewIsGone", Guarded::RunOnce, Nothing,
     [] { return SetValue(KEY_WOW64_64KEY, harness::kRunOnceKey, kRunOnceName, "x /S"); },
     "64-bit view: gone\n32-bit view: gone"},
    {"RunOnceSetIn32BitViewIsGone", Guarded::RunOnce, Nothing,
     [] { return SetValue(KEY_WOW64_32KEY, harness::kRunOnceKey, kRunOnceName, "x /S"); },
     "64-bit view: gone\n32-bit view: gone"},
    {"ValueMadeAnewIsGone", Guarded::Value, Nothing,
     [] { return SetValue(0, kValueKey, kValueName, "new"); }, "value: gone"},
    {"ValueChangedIsPutBack", Guarded::Value,
     [] { return SetValue(0, kValueKey, kValueName, "old"); },
     [] { return SetValue(0, kValueKey, kValueName, "new"); }, "value: old"},
    {"ValueDeletedIsPutBack", Guarded::Value,
     [] { return SetValue(0, kValueKey, kValueName, "old"); },
     [] { return RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kValueKey, kValueName) == ERROR_SUCCESS; },
     "value: old"},
    {"PendingKeyIn32BitViewIsGone", Guarded::PendingKey, Nothing,
     [] { return SetValue(KEY_WOW64_32KEY, harness::kPendingKey, "x", "y"); },
     "64-bit view: gone\n32-bit view: gone"},
    {"PendingKeyIn64BitViewIsGone", Guarded::PendingKey, Nothing,
     [] { return SetValue(KEY_WOW64_64KEY, harness::kPendingKey, "x", "y"); },
     "64-bit view: gone\n32-bit view: gone"},
    {"NewCopyIsGoneAndAnEarlierOneStays", Guarded::TempCopies,
     [] { return CreateDirectoryA((WindowsTemp() + "pendreg-0badf00d").c_str(), nullptr) != 0; },
     [] {
         std::string copy = WindowsTemp() + "pendreg-1badf00d";
         return CreateDirectoryA(copy.c_str(), nullptr) &&
                CopyFileA(harness::ToolPath().c_str(), (copy + "\\pendreg.exe").c_str(), FALSE);
     },
     "earlier copy: there\nnew copy: gone"},
};

class Guards : public testing::TestWithParam<GuardCase> {
  protected:
    // What a row made is removed whatever the guard did.
    void TearDown() override {
        harness::DeleteRunOnce(kRunOnceName);
        harness::DeleteTree(HKEY_LOCAL_MACHINE, kValueKey);
        harness::RemovePendingKey();
        harness::RemoveFolder(WindowsTemp() + "pendreg-0badf00d");
        harness::RemoveFolder(WindowsTemp() + "pendreg-1badf00d");
    }
};

TEST_P(Guards, PutBackWhatTheyKeep) {
    const GuardCase& row = GetParam();
    ASSERT_TRUE(row.before()) << "could not set up what was there before";
    {
        std::shared_ptr<void> guard = Guard(row.kind);
        ASSERT_TRUE(row.inside()) << "could not change it while the guard lives: error "
                                  << GetLastError();
    }
    EXPECT_EQ(row.kept, Kept(row.kind));
}

INSTANTIATE_TEST_SUITE_P(Harness, Guards, testing::ValuesIn(kGuardCases),
                         [](const testing::TestParamInfo<GuardCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

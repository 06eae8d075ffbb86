// The road an installer takes: a component in use gets its new version at the
// restart, its registration is recorded in a work set, and a RunOnce value
// starts a copy of the tool with "/S" in a folder of its own. The inspector
// approves it beforehand; after one restart the new version is registered and
// the records and the RunOnce value are gone; a second restart removes the
// tool's copy.
#include "harness/Harness.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

namespace {

const char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char kRunOnceName[] = "pendreg road test";

// Checks the condition every 100 ms for up to 30 s: what a restart starts
// may still be running when the restart itself has returned.
template <typename Condition> bool Eventually(Condition condition) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (condition()) {
            return true;
        }
        Sleep(100);
    }
    return condition();
}

bool RunOnceValueExists() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnce, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool exists =
        RegQueryValueExA(key, kRunOnceName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

void SetRunOnce(const std::string& commandLine) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunOnce, 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    RegSetValueExA(key, kRunOnceName, 0, REG_SZ, reinterpret_cast<const BYTE*>(commandLine.c_str()),
                   static_cast<DWORD>(commandLine.size() + 1));
    RegCloseKey(key);
}

void DeleteRunOnce() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnce, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, kRunOnceName);
        RegCloseKey(key);
    }
}

bool RegisteredFrom(const harness::RecordLog& log, const std::string& module) {
    for (const harness::Record& record : log.Read()) {
        if (record.event == "register" &&
            harness::Lower(record.field("module")) == harness::Lower(module)) {
            return true;
        }
    }
    return false;
}

TEST(InstallerRoad, NewVersionRegisteredAtRestartAndToolGoneAtTheNext) {
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    harness::RemovePendingKey();
    harness::ScratchFolder scratch;
    harness::RecordLog log;
    // Version 1 is in use and registers nothing; version 2 records its
    // registration.
    std::string component = scratch.Copy(harness::FixturePath("noexport.dll"), "app\\part.dll");
    std::string update = scratch.Copy(harness::FixturePath("recorder.dll"), "app\\part.new");
    ASSERT_TRUE(MoveFileExA(update.c_str(), component.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(harness::RecordWorkSets({{"road", harness::Entries({{"D", "app\\part.dll"}})}},
                                        scratch.path()));
    std::string tool = scratch.Copy(harness::ToolPath(), "setup-tmp\\pendreg.exe");
    SetRunOnce("\"" + tool + "\" /S");

    harness::RunResult inspection =
        harness::Run("\"" + harness::InspectorPath() + "\" --view=64 --tool=\"" + tool + "\"");
    EXPECT_TRUE(inspection.finished);
    EXPECT_EQ(0u, inspection.exitCode) << "the inspector found fault with the road";

    ASSERT_TRUE(harness::RestartWine());
    EXPECT_TRUE(Eventually([&] { return RegisteredFrom(log, component); }))
        << "the new version was not registered";
    EXPECT_TRUE(Eventually([] {
        return !harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey);
    })) << "the records are still there";
    EXPECT_FALSE(RunOnceValueExists());
    EXPECT_TRUE(Eventually([&] { return harness::ListedForDeletionAtRestart(tool); }))
        << "the tool's copy is not scheduled for deletion";
    EXPECT_TRUE(harness::FileExists(tool)) << "deleted before the next restart";

    ASSERT_TRUE(harness::RestartWine());
    EXPECT_TRUE(Eventually([&] { return !harness::FileExists(tool); }))
        << "the tool's copy survived the second restart";
    DeleteRunOnce();
    harness::RemovePendingKey();
}

} // namespace

// The road an installer takes, through the recorder: a component in use gets
// its new version at the restart ("replace"), a RunOnce value starts a copy
// of the tool with "/S" in a folder of its own ("arm"), and its registration
// is recorded in a work set ("add"). The inspector approves it beforehand;
// after one restart the new version is registered by the command line that
// "add" printed, and the records and the RunOnce value are gone; a second
// restart removes the tool's copy.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

namespace {

const char kRunOnceName[] = "pendreg road test";

// The command line of the process that registered the module, or empty.
std::string RegisteredBy(const harness::RecordLog& log, const std::string& module) {
    for (const harness::Record& record : log.Read()) {
        if (record.event == "register" &&
            harness::Lower(record.field("module")) == harness::Lower(module)) {
            return record.field("cmdline");
        }
    }
    return std::string();
}

// The recorder with the arguments; what it printed, and its exit code.
harness::Output Record(const std::string& arguments, const std::string& dir) {
    return harness::RunCapturing(harness::Widen("\"" + harness::RecorderPath() + "\" " + arguments),
                                 dir);
}

// The text between the first opening and closing quote after "starts".
std::string ArmedCopy(const harness::Output& armed) {
    size_t start = armed.text.find("starts \"");
    if (start == std::string::npos) {
        return std::string();
    }
    start += 8;
    return armed.text.substr(start, armed.text.find('"', start) - start);
}

TEST(InstallerRoad, NewVersionRegisteredAtRestartAndToolGoneAtTheNext) {
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    // What the road leaves behind goes whatever an assertion did: a RunOnce
    // value or a staged move left here would run at a later test's restart.
    harness::PendingKeyGuard pendingKey;
    harness::RunOnceGuard runOnce(kRunOnceName);
    harness::SavedRenames renames;
    harness::TempCopiesGuard copies;
    harness::ScratchFolder scratch;
    ASSERT_TRUE(harness::KeepToAdministrators(scratch.path()));
    harness::RecordLog log;
    // Version 1 is in use and registers nothing; version 2 records its
    // registration.
    std::string component = scratch.Copy(harness::FixturePath("noexport.dll"), "app\\part.dll");
    std::string update = scratch.Copy(harness::FixturePath("recorder.dll"), "update\\part.dll");
    HANDLE inUse = CreateFileA(component.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    harness::Output replaced =
        Record("replace \"" + update + "\" \"" + component + "\"", scratch.path());
    CloseHandle(inUse);
    harness::Output armed =
        Record(std::string("arm --name=\"") + kRunOnceName + "\"", scratch.path());
    harness::Output added =
        Record("add --view=64 --work-set=road \"" + component + "\"", scratch.path());
    EXPECT_EQ(0u, replaced.text.find("replaced at restart: ")) << replaced.text;
    ASSERT_EQ(0u, armed.exitCode) << armed.text;
    ASSERT_EQ(0u, added.exitCode) << added.text;
    std::string tool = ArmedCopy(armed);
    std::string printed = "\"" + tool + "\" /D" + component;
    EXPECT_TRUE(added.Has("  entry 1 (D): runs " + printed)) << added.text;

    harness::RunResult inspection =
        harness::Run("\"" + harness::InspectorPath() + "\" --view=64 --tool=\"" + tool + "\"");
    EXPECT_TRUE(inspection.finished);
    EXPECT_EQ(0u, inspection.exitCode) << "the inspector found fault with the road";

    ASSERT_TRUE(harness::RestartWine());
    EXPECT_TRUE(harness::Eventually([&] { return RegisteredBy(log, component) == printed; }))
        << "the new version was not registered by the line that add printed: "
        << RegisteredBy(log, component);
    EXPECT_TRUE(harness::Eventually([] {
        return !harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey);
    })) << "the records are still there";
    EXPECT_FALSE(harness::RunOnceValueExists(kRunOnceName, KEY_WOW64_64KEY) ||
                 harness::RunOnceValueExists(kRunOnceName, KEY_WOW64_32KEY));
    EXPECT_TRUE(harness::Eventually([&] { return harness::ListedForDeletionAtRestart(tool); }))
        << "the tool's copy is not scheduled for deletion";
    EXPECT_TRUE(harness::FileExists(tool)) << "deleted before the next restart";

    ASSERT_TRUE(harness::RestartWine());
    EXPECT_TRUE(harness::Eventually([&] { return !harness::FileExists(tool); }))
        << "the tool's copy survived the second restart";
}

} // namespace

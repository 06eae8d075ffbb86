// The installer's whole life through a real installer engine: a Windows
// Installer package (tests/fixtures/Demo.wxs, built with wixl) whose deferred
// custom actions stage the product's new component in place of a file in
// use, arm the pass, record the registration and have the inspector judge
// it, and whose removal withdraws and discards all of it. Installed,
// repaired, upgraded and removed by the platform's own msiexec, before and
// after the restart: afterwards the component is registered as often as the
// row says (once or never), and nothing of the product is left armed,
// recorded or waiting for a restart.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

// The product's name, which names its work set and its RunOnce value.
const char kProduct[] = "pendreg demo";

// The folders of the tool's copies under the Windows folder's Temp.
std::set<std::string> CopyFolders() {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string temp = std::string(windows) + "\\Temp\\";
    std::set<std::string> folders;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((temp + "pendreg-*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        folders.insert(temp + found.cFileName);
    }
    FindClose(search);
    return folders;
}

unsigned Registrations(const harness::RecordLog& log, const std::string& module) {
    unsigned count = 0;
    for (const harness::Record& record : log.Read()) {
        count += record.event == "register" &&
                         harness::Lower(record.field("module")) == harness::Lower(module)
                     ? 1
                     : 0;
    }
    return count;
}

struct LifeCase {
    const char* name;
    // What happens, in order: "hold" puts the target in use until the
    // restart; "install1", "install2" install that version of the package,
    // "repair" runs version 1's installer again; "uninstall" removes what is
    // installed; "restart" restarts.
    const char* steps;
    unsigned registrations; // of the target, by the end
    bool newVersionInPlace;
    // A folder of the tool's copy stays: after a pass, until the next
    // restart deletes the copy.
    bool copyLeft;
};

void PrintTo(const LifeCase& row, std::ostream* out) {
    *out << row.name;
}

class InstallerLife : public testing::TestWithParam<LifeCase> {
  protected:
    // msiexec with the arguments; a failed step fails the row with the
    // engine's own exit code and the companions' log.
    void Msiexec(const std::string& arguments) {
        std::string line = "msiexec.exe " + arguments + " TARGET=\"" + target_ + "\" LOGFILE=\"" +
                           engineLog_ + "\" /qn";
        harness::Output run = harness::RunCapturing(harness::Widen(line), scratch_.path());
        EXPECT_EQ(0u, run.exitCode) << line << "\n"
                                    << run.text << "\n"
                                    << harness::ReadFile(engineLog_);
    }
    void Uninstall(const std::string& package) {
        Msiexec("/x \"" + harness::FixturePath(package.c_str()) + "\"");
    }

    void TearDown() override {
        // Whatever a row left installed goes, quietly: both versions, since
        // an upgrade may leave the first registered with the engine.
        for (const char* package : {"demo2.msi", "demo1.msi"}) {
            if (!target_.empty()) {
                harness::Run("msiexec.exe /x \"" + harness::FixturePath(package) + "\" TARGET=\"" +
                             target_ + "\" LOGFILE=\"" + engineLog_ + "\" /qn");
            }
        }
    }

    harness::PendingKeyGuard pendingKey_;
    harness::RunOnceGuard runOnce_{kProduct};
    harness::SavedRenames renames_;
    harness::TempCopiesGuard copies_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string target_;
    std::string engineLog_;
};

TEST_P(InstallerLife, LeavesNothingOfTheProductButWhatItRegistered) {
    const LifeCase& row = GetParam();
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    ASSERT_TRUE(harness::KeepToAdministrators(scratch_.path()));
    target_ = scratch_.Copy(harness::FixturePath("noexport.dll"), "shared\\part.dll");
    engineLog_ = scratch_.path() + "\\engine.log";
    std::set<std::string> copiesBefore = CopyFolders();
    HANDLE inUse = INVALID_HANDLE_VALUE;
    std::istringstream steps(row.steps);
    for (std::string step; steps >> step;) {
        if (step == "hold") {
            inUse = CreateFileA(target_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
        } else if (step == "install1" || step == "install2") {
            Msiexec("/i \"" + harness::FixturePath(("demo" + step.substr(7) + ".msi").c_str()) +
                    "\"");
        } else if (step == "repair") {
            Msiexec("/i \"" + harness::FixturePath("demo1.msi") +
                    "\" REINSTALL=ALL REINSTALLMODE=vamus");
        } else if (step == "uninstall") {
            Uninstall(std::string(row.steps).find("install2") == std::string::npos ? "demo1.msi"
                                                                                   : "demo2.msi");
        } else if (step == "restart") {
            CloseHandle(inUse);
            inUse = INVALID_HANDLE_VALUE;
            ASSERT_TRUE(harness::RestartWine());
            EXPECT_TRUE(harness::Eventually([] {
                return !harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey) &&
                       !harness::RunOnceValueExists(kProduct, KEY_WOW64_64KEY);
            })) << "the pass did not run: "
                << harness::ReadFile(engineLog_);
        }
        ASSERT_FALSE(HasFailure()) << "at " << step;
    }
    CloseHandle(inUse);

    EXPECT_TRUE(
        harness::Eventually([&] { return Registrations(log_, target_) >= row.registrations; }));
    EXPECT_EQ(row.registrations, Registrations(log_, target_)) << harness::ReadFile(engineLog_);
    EXPECT_EQ(row.newVersionInPlace, harness::ReadFile(target_) ==
                                         harness::ReadFile(harness::FixturePath("recorder.dll")));
    EXPECT_FALSE(harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey));
    EXPECT_FALSE(harness::RunOnceValueExists(kProduct, KEY_WOW64_64KEY));
    EXPECT_EQ("", harness::FateAtRestart(target_));
    std::set<std::string> copies = CopyFolders();
    bool copyLeft = false;
    for (const std::string& folder : copies) {
        copyLeft = copyLeft || copiesBefore.count(folder) == 0;
    }
    EXPECT_EQ(row.copyLeft, copyLeft) << harness::ReadFile(engineLog_);
}

const LifeCase kLifeCases[] = {
    {"InstallThenRestartRegisters", "hold install1 restart", 1, true, true},
    {"UninstallBeforeRestartLeavesNothing", "hold install1 uninstall restart", 0, false, false},
    {"UninstallAfterRestartSucceeds", "hold install1 restart uninstall", 1, true, false},
    {"RepairRecordsNothingTwice", "hold install1 repair restart", 1, true, true},
    {"UpgradeBeforeRestart", "hold install1 install2 restart", 1, true, true},
};

INSTANTIATE_TEST_SUITE_P(Installer, InstallerLife, testing::ValuesIn(kLifeCases),
                         [](const testing::TestParamInfo<LifeCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

// The installer's whole life through a real installer engine: a Windows
// Installer package (tests/fixtures/Demo.wxs, built with wixl) whose deferred
// custom actions stage the product's new component in place of a file in
// use, arm the pass, record the registration and have the inspector judge
// it, and whose removal withdraws and discards all of it, through the shipped
// docs/pendreg.wxi. Installed, repaired, upgraded, failed and removed by the
// platform's own msiexec, before and after the restart: every install asks
// for the restart, afterwards the component is registered as often as the
// row says, and nothing of the product is left armed, recorded, staged or
// waiting for a restart.
#include "fixtures/ClassKey.h"
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

// Staged new versions beside the target: every road ends with none, moved
// into place at the restart or taken back.
unsigned StagedBeside(const std::string& target) {
    std::string folder = target.substr(0, target.rfind('\\') + 1);
    unsigned staged = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "new*.tmp").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        ++staged;
    }
    FindClose(search);
    return staged;
}

// Another product that takes the same road with names of its own, and
// replaces a target of its own.
const char kOther[] = "pendreg other";

// The package steps: what msiexec is given, and the exit code it ends with.
// An install that arms the pass asks for the restart; one that fails ends
// with the engine's failure of an install: 1603 on Windows, 1627 from Wine's.
const unsigned kInstallFailed = ERROR_INSTALL_FAILURE;
struct PackageStep {
    const char* step;
    const char* package;
    const char* arguments;
    unsigned exitCode;
    bool other; // the other product, with its own target
};

const PackageStep kPackageSteps[] = {
    {"install1", "demo1.msi", "/i", ERROR_SUCCESS_REBOOT_REQUIRED, false},
    {"install2", "demo2.msi", "/i", ERROR_SUCCESS_REBOOT_REQUIRED, false},
    {"install2late", "demo2late.msi", "/i", ERROR_SUCCESS_REBOOT_REQUIRED, false},
    {"repair", "demo1.msi", "/i", ERROR_SUCCESS_REBOOT_REQUIRED, false},
    {"failauthor", "demofailauthor.msi", "/i", kInstallFailed, false},
    {"failinspect", "demofailinspect.msi", "/i", kInstallFailed, false},
    {"installother", "other.msi", "/i", ERROR_SUCCESS_REBOOT_REQUIRED, true},
    {"uninstallother", "other.msi", "/x", ERROR_SUCCESS, true},
};

struct LifeCase {
    const char* name;
    // What happens, in order: "hold" puts the target in use until the
    // restart; the steps of kPackageSteps run msiexec ("install2late": the
    // second version, which removes the first after InstallFinalize;
    // "failauthor", "failinspect": an install that fails by an action of the
    // author's own, or by the inspection); "uninstall" removes the version
    // installed last; "restart" restarts.
    const char* steps;
    unsigned registrations; // of the target, by the end
    bool newVersionInPlace;
    // A folder of the tool's copy stays: after a pass, until the next
    // restart deletes the copy.
    bool copyLeft;
    // The class key that the product's server writes when registered, by
    // the end: an uninstall after the restart unregisters it.
    bool classKeyLeft;
};

// The class key of the product's server, server.dll (tests/fixtures/ClassKey.h).
std::string ServerClassKey() {
    char path[MAX_PATH];
    ClassKeyPath("server.dll", path, sizeof(path));
    return path;
}

// The server's class key, gone when the guard is made and when it goes.
class ClassKeyGuard {
  public:
    ClassKeyGuard() {
        harness::DeleteTree(HKEY_CLASSES_ROOT, ServerClassKey());
    }
    ~ClassKeyGuard() {
        harness::DeleteTree(HKEY_CLASSES_ROOT, ServerClassKey());
    }
    ClassKeyGuard(const ClassKeyGuard&) = delete;
    ClassKeyGuard& operator=(const ClassKeyGuard&) = delete;
};

void PrintTo(const LifeCase& row, std::ostream* out) {
    *out << row.name;
}

class InstallerLife : public testing::TestWithParam<LifeCase> {
  protected:
    // msiexec with the arguments; a step that ends otherwise than expected
    // fails the row with the engine's own exit code and the companions' log.
    void Msiexec(const std::string& arguments, const std::string& target, unsigned expected) {
        std::string line = "msiexec.exe " + arguments + " TARGET=\"" + target + "\" LOGFILE=\"" +
                           engineLog_ + "\" /qn";
        harness::Output run = harness::RunCapturing(harness::Widen(line), scratch_.path());
        // Wine's engine was seen to end a failed install with 1627, where
        // Windows ends it with 1603: both are the failure.
        unsigned seen = run.exitCode == ERROR_FUNCTION_FAILED ? kInstallFailed : run.exitCode;
        EXPECT_EQ(expected, seen) << line << "\n"
                                  << run.text << "\n"
                                  << harness::ReadFile(engineLog_);
    }
    void RunPackageStep(const PackageStep& step) {
        Msiexec(
            std::string(step.arguments) + " \"" + harness::FixturePath(step.package) + "\"" +
                (std::string(step.step) == "repair" ? " REINSTALL=ALL REINSTALLMODE=vamus" : ""),
            step.other ? otherTarget_ : target_, step.exitCode);
        if (!step.other && step.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED) {
            installed_ = step.package;
        }
    }
    void Uninstall() {
        Msiexec("/x \"" + harness::FixturePath(installed_.c_str()) + "\"", target_, ERROR_SUCCESS);
    }

    void TearDown() override {
        // Whatever a row left installed goes, quietly: every package, since
        // an upgrade may leave the first registered with the engine.
        for (const char* package : {"demo2.msi", "demo2late.msi", "demo1.msi", "other.msi"}) {
            if (!target_.empty()) {
                harness::Run("msiexec.exe /x \"" + harness::FixturePath(package) + "\" TARGET=\"" +
                             target_ + "\" LOGFILE=\"" + engineLog_ + "\" /qn");
            }
        }
    }

    harness::PendingKeyGuard pendingKey_;
    ClassKeyGuard classKey_;
    harness::RunOnceGuard runOnce_{kProduct};
    harness::RunOnceGuard otherRunOnce_{kOther};
    harness::SavedRenames renames_;
    harness::TempCopiesGuard copies_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string target_;
    std::string otherTarget_;
    std::string engineLog_;
    std::string installed_ = "demo1.msi";
};

TEST_P(InstallerLife, LeavesNothingOfTheProductButWhatItRegistered) {
    const LifeCase& row = GetParam();
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    ASSERT_TRUE(harness::KeepToAdministrators(scratch_.path()));
    target_ = scratch_.Copy(harness::FixturePath("noexport.dll"), "shared\\part.dll");
    otherTarget_ = scratch_.Copy(harness::FixturePath("noexport.dll"), "other\\part.dll");
    engineLog_ = scratch_.path() + "\\engine.log";
    std::set<std::string> copiesBefore = CopyFolders();
    HANDLE inUse = INVALID_HANDLE_VALUE;
    std::istringstream steps(row.steps);
    for (std::string step; steps >> step;) {
        const PackageStep* package = nullptr;
        for (const PackageStep& known : kPackageSteps) {
            package = step == known.step ? &known : package;
        }
        if (package != nullptr) {
            RunPackageStep(*package);
        } else if (step == "hold") {
            inUse = CreateFileA(target_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
        } else if (step == "uninstall") {
            Uninstall();
        } else if (step == "restart") {
            CloseHandle(inUse);
            inUse = INVALID_HANDLE_VALUE;
            ASSERT_TRUE(harness::RestartWine());
            EXPECT_TRUE(harness::Eventually([] {
                return !harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey) &&
                       !harness::RunOnceValueExists(kProduct, KEY_WOW64_64KEY);
            })) << "the pass did not run: "
                << harness::ReadFile(engineLog_);
        } else {
            FAIL() << "no such step: " << step;
        }
        ASSERT_FALSE(HasFailure()) << "at " << step;
    }
    CloseHandle(inUse);

    EXPECT_TRUE(
        harness::Eventually([&] { return Registrations(log_, target_) >= row.registrations; }));
    EXPECT_EQ(row.registrations, Registrations(log_, target_)) << harness::ReadFile(engineLog_);
    EXPECT_EQ(0u, Registrations(log_, otherTarget_)) << harness::ReadFile(engineLog_);
    EXPECT_EQ(row.classKeyLeft, harness::KeyExists(HKEY_CLASSES_ROOT, ServerClassKey()))
        << harness::ReadFile(engineLog_);
    EXPECT_EQ(row.newVersionInPlace, harness::ReadFile(target_) ==
                                         harness::ReadFile(harness::FixturePath("recorder.dll")));
    EXPECT_FALSE(harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey));
    EXPECT_FALSE(harness::RunOnceValueExists(kProduct, KEY_WOW64_64KEY));
    EXPECT_FALSE(harness::RunOnceValueExists(kOther, KEY_WOW64_64KEY));
    EXPECT_EQ("", harness::FateAtRestart(target_));
    EXPECT_EQ("", harness::FateAtRestart(otherTarget_));
    EXPECT_EQ(0u, StagedBeside(target_)) << harness::ReadFile(engineLog_);
    std::set<std::string> copies = CopyFolders();
    bool copyLeft = false;
    for (const std::string& folder : copies) {
        copyLeft = copyLeft || copiesBefore.count(folder) == 0;
    }
    EXPECT_EQ(row.copyLeft, copyLeft) << harness::ReadFile(engineLog_);
}

const LifeCase kLifeCases[] = {
    {"InstallThenRestartRegisters", "hold install1 restart", 1, true, true, true},
    {"UninstallBeforeRestartLeavesNothing", "hold install1 uninstall restart", 0, false, false,
     false},
    {"UninstallAfterRestartSucceeds", "hold install1 restart uninstall", 1, true, false, false},
    {"RepairRecordsNothingTwice", "hold install1 repair restart", 1, true, true, true},
    {"UpgradeBeforeRestart", "hold install1 install2 restart", 1, true, true, true},
    {"UpgradeRemovingLateBeforeRestart", "hold install1 install2late restart", 1, true, true, true},
    {"UpgradeAfterRestart", "hold install1 restart hold install2 restart", 2, true, true, true},
    {"UpgradeRemovingLateAfterRestart", "hold install1 restart hold install2late restart", 2, true,
     true, true},
    {"AuthorsFailingActionLeavesNothing", "hold failauthor restart", 0, false, false, false},
    {"FailingInspectionLeavesNothing", "hold failinspect restart", 0, false, false, false},
    {"TwoProductsRemovedFirstFirst", "hold install1 installother uninstall uninstallother restart",
     0, false, false, false},
    {"TwoProductsRemovedLastFirst", "hold install1 installother uninstallother uninstall restart",
     0, false, false, false},
};

INSTANTIATE_TEST_SUITE_P(Installer, InstallerLife, testing::ValuesIn(kLifeCases),
                         [](const testing::TestParamInfo<LifeCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

// The recorder keeps its promise whatever came before it and whatever runs
// beside it: earlier renames at restart, a RunOnce value that starts
// something else than the tool, a refused arm, another recorder, a pass.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

using harness::Output;

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
// The RunOnce values these tests make; the tear-down removes them.
const char* const kValueNames[] = {"pendreg order", "pendreg order 2"};

std::string Renames() {
    std::string value(65536, '\0');
    DWORD size = static_cast<DWORD>(value.size());
    LONG status = RegGetValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, RRF_RT_REG_MULTI_SZ,
                               nullptr, &value[0], &size);
    value.resize(status == ERROR_SUCCESS ? size : 0);
    return value;
}

// Where arm makes the folders of its copies, in lower case.
std::string CopiesParent() {
    char windows[MAX_PATH];
    return harness::Lower(std::string(windows, GetWindowsDirectoryA(windows, MAX_PATH)) +
                          "\\temp\\");
}

std::set<std::string> CopyFolders() {
    std::string temp = CopiesParent();
    std::set<std::string> folders;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((temp + "pendreg-*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        folders.insert(harness::Lower(temp + found.cFileName));
    }
    FindClose(search);
    return folders;
}

// Puts back what the recorder may change, whatever a test asserted: the
// pending key, the machine's pending renames, the RunOnce values these tests
// name, and the copies that arm made.
class RecorderOrder : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(harness::KeepToAdministrators(dir()));
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "open\\new.dll");
        ASSERT_TRUE(harness::GrantEveryone(SE_FILE_OBJECT, dir() + "\\open",
                                           FILE_ADD_FILE | FILE_DELETE_CHILD));
    }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kRunOnceKey, 0, KEY_SET_VALUE | view,
                              &key) == ERROR_SUCCESS) {
                RegDeleteValueA(key, kValueNames[0]);
                RegDeleteValueA(key, kValueNames[1]);
                RegCloseKey(key);
            }
        }
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, REG_MULTI_SZ,
                        renames_.data(), static_cast<DWORD>(renames_.size()));
        if (renames_.empty()) {
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames);
        }
        for (const std::string& folder : CopyFolders()) {
            if (folders_.count(folder) == 0) {
                harness::RemoveFile(folder + "\\pendreg.exe");
                RemoveDirectoryA(folder.c_str());
            }
        }
    }

    Output Record(const std::string& arguments, const std::string& in = "") const {
        std::string expanded = harness::ReplaceAll(arguments, "{self}", self_);
        expanded = harness::ReplaceAll(expanded, "{dir}", dir());
        return harness::RunCapturing(
            harness::Widen("\"" + harness::RecorderPath() + "\" " + expanded), dir() + in);
    }
    bool Logged(const char* wanted) const {
        for (const std::string& event : log_.Events()) {
            if (event == wanted) {
                return true;
            }
        }
        return false;
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    const std::string renames_ = Renames();
    const std::set<std::string> folders_ = CopyFolders();
    // add notes what it recorded in the products' record too.
    harness::PendingKeyGuard pendingKey_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string self_;
};

struct RestartCase {
    const char* name;
    // {dir}\app\t.dll holds "version 1", held open meanwhile, or deleted at
    // restart; or holds the fixture DLL, replaced at restart by
    // {dir}\open\new.dll, a folder Everyone may change.
    bool held;
    bool deletedAtRestart;
    bool newVersionFromOpenFolder;
    // The recorder's runs and their exit codes; {vN} holds "version N".
    std::vector<std::pair<std::string, DWORD>> runs;
    const char* after; // the target after the restart; "" the fixture DLL
};

void PrintTo(const RestartCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderAtRestart : public RecorderOrder, public testing::WithParamInterface<RestartCase> {};

// The target after the restart holds the last version the recorder put in
// its place, and a pass then registers nothing that the recorder refused.
TEST_P(RecorderAtRestart, LastVersionReplacedIsTheOneInPlace) {
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    const RestartCase& row = GetParam();
    std::string target = dir() + "\\app\\t.dll";
    scratch_.Write("app\\t.dll", "version 1");
    if (row.newVersionFromOpenFolder) {
        scratch_.Copy(harness::FixturePath("recorder.dll"), "app\\t.dll");
        ASSERT_TRUE(MoveFileExA((dir() + "\\open\\new.dll").c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    }
    scratch_.Write("v2", "version 2");
    scratch_.Write("v3", "version 3");
    ASSERT_TRUE(!row.deletedAtRestart ||
                MoveFileExA(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    HANDLE held = row.held ? CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr)
                           : INVALID_HANDLE_VALUE;
    for (const auto& run : row.runs) {
        Output output = Record(run.first);
        EXPECT_EQ(run.second, output.exitCode) << run.first << ":\n" << output.text;
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }

    ASSERT_TRUE(harness::RestartWine());
    ASSERT_TRUE(harness::Run("\"" + self_ + "\" /S", nullptr, dir().c_str()).finished);
    std::string after = harness::ReadFile(target);
    EXPECT_TRUE(
        after ==
        (*row.after == '\0' ? harness::ReadFile(harness::FixturePath("recorder.dll")) : row.after))
        << "the target holds: " << after.substr(0, 20);
    EXPECT_FALSE(Logged("register"));
}

const RestartCase kRestartCases[] = {
    {"ReplacedAtRestartThenAtOnce",
     true,
     false,
     false,
     {{"replace {dir}\\v2 {dir}\\app\\t.dll", 0}, {"replace {dir}\\v3 {dir}\\app\\t.dll", 0}},
     "version 3"},
    {"ReplacedOverAPendingDeletion",
     false,
     true,
     false,
     {{"replace {dir}\\v2 {dir}\\app\\t.dll", 0}},
     "version 2"},
    {"PrefixedPathWhoseNewVersionLiesInAnOpenFolder",
     false,
     false,
     true,
     {{"add --view=64 --tool=\"{self}\" --work-set=w \\\\?\\{dir}\\app\\t.dll", 2}},
     ""},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderAtRestart, testing::ValuesIn(kRestartCases),
                         [](const testing::TestParamInfo<RestartCase>& info) {
                             return std::string(info.param.name);
                         });

struct ArmCase {
    const char* name;
    // What the RunOnce value "pendreg order" starts with /S before, if
    // anything: {dir}\open\pendreg.exe is the tool in a folder Everyone may
    // change, {dir}\foreign\pendreg.exe another program, and
    // {dir}\stale\pendreg.exe the tool, deleted at restart.
    const char* armedBefore;
    const char* arguments; // {ro}: the tool, read-only
    DWORD exitCode;
    const char* said;
};

void PrintTo(const ArmCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderArm : public RecorderOrder, public testing::WithParamInterface<ArmCase> {};

// A value whose copy is not the tool, or that users may change, or that will
// not be there, is not taken for the pass: arm places a copy of its own,
// never read-only, leaves the folders it did not make, and add names that
// copy. A refused arm leaves no copy and no value.
TEST_P(RecorderArm, ArmsOnlyTheToolWhereOnlyAdministratorsMayChangeIt) {
    const ArmCase& row = GetParam();
    std::string readOnly = scratch_.Copy(harness::ToolPath(), "ro\\pendreg.exe");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    scratch_.Copy(harness::ToolPath(), "open\\pendreg.exe");
    scratch_.Copy(harness::FixturePath("exeserver.exe"), "foreign\\pendreg.exe");
    std::string stale = scratch_.Copy(harness::ToolPath(), "stale\\pendreg.exe");
    ASSERT_TRUE(MoveFileExA(stale.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::string armed = harness::ReplaceAll(row.armedBefore, "{dir}", dir());
    ASSERT_TRUE(*row.armedBefore == '\0' || harness::SetRunOnce(kValueNames[0], armed + " /S"));
    std::string earlier = CopiesParent() + "pendreg-order-earlier";
    CreateDirectoryA(earlier.c_str(), nullptr);
    std::string before = harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kRunOnceKey);

    Output run = Record(harness::ReplaceAll(row.arguments, "{ro}", readOnly));

    EXPECT_EQ(row.exitCode, run.exitCode) << run.text;
    std::string said = harness::ReplaceAll(row.said, "{dir}", dir());
    EXPECT_NE(std::string::npos, run.text.find(said)) << said << " not in:\n" << run.text;
    std::set<std::string> made = CopyFolders();
    made.erase(earlier);
    for (const std::string& folder : folders_) {
        made.erase(folder);
    }
    if (row.exitCode != 0) {
        EXPECT_TRUE(made.empty()) << "a refused arm left a copy";
        EXPECT_EQ(before, harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kRunOnceKey));
        return;
    }
    // A folder that arm did not make is not arm's to remove, whatever its name.
    EXPECT_TRUE(harness::FileExists(earlier)) << "a folder that arm did not make was removed";
    RemoveDirectoryA(earlier.c_str());
    ASSERT_EQ(1u, made.size());
    std::string copy = *made.begin() + "\\pendreg.exe";
    EXPECT_TRUE(harness::ReadFile(harness::ToolPath()) == harness::ReadFile(copy));
    EXPECT_EQ(0u, GetFileAttributesA(copy.c_str()) & FILE_ATTRIBUTE_READONLY);
    Output added = Record("add --view=64 --work-set=w --kind=D {dir}\\a.dll");
    EXPECT_NE(std::string::npos, harness::Lower(added.text).find("tool: " + copy)) << added.text;
    EXPECT_TRUE(
        added.Has("pendreg-record: warning: 2 RunOnce values start copies of the tool "
                  "with /S: whichever runs first runs every work set, and the lines below "
                  "name the copy of \"pendreg order 2\"; the others find nothing left to do"))
        << added.text;
}

#define NOT_TAKEN(copy) "\"" copy "\" /S, which is not taken for the pass: "

const ArmCase kArmCases[] = {
    {"CopyInAFolderEveryoneMayChangeArmedAlready", "{dir}\\open\\pendreg.exe",
     "arm --name=\"pendreg order 2\" --tool={ro}", 0,
     NOT_TAKEN("{dir}\\open\\pendreg.exe") "ordinary users may change"},
    {"AnotherProgramNamedAsTheToolArmedAlready", "{dir}\\foreign\\pendreg.exe",
     "arm --name=\"pendreg order 2\" --tool={ro}", 0,
     NOT_TAKEN("{dir}\\foreign\\pendreg.exe") "the tool's copy {dir}\\foreign\\pendreg.exe is not "
                                              "the tool"},
    {"CopyDeletedAtRestartArmedAlready", "{dir}\\stale\\pendreg.exe",
     "arm --name=\"pendreg order 2\" --tool={ro}", 0,
     NOT_TAKEN("{dir}\\stale\\pendreg.exe") "the tool's copy {dir}\\stale\\pendreg.exe is deleted "
                                            "at restart, before it can run"},
    {"ReadOnlyToolWithTheNameTakenRefused", "{dir}\\other.exe",
     "arm --name=\"pendreg order\" --tool={ro}", 2,
     "a value \"pendreg order\" is there already and starts something else"},
    {"ToolThatIsNotTheToolRefused", "", "arm --name=\"pendreg order\" --tool={dir}\\a.dll", 2,
     "pendreg-record: tool {dir}\\a.dll: not the tool: its bytes differ from those of "},
};

#undef NOT_TAKEN

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderArm, testing::ValuesIn(kArmCases),
                         [](const testing::TestParamInfo<ArmCase>& info) {
                             return std::string(info.param.name);
                         });

// The add of kEntries files of its own (copies, not names of one file: the
// recorder records a file once per work set, whatever names it has) for one
// installer in one round.
std::string AddOfItsOwn(const std::string& dir, const std::string& installer, DWORD round,
                        DWORD entries) {
    std::string add = "add --view=64 --tool=\"{self}\" --work-set=w --kind=D";
    for (DWORD index = 0; index < entries; ++index) {
        std::string name = dir + "\\" + installer + "\\" + std::to_string(round) + "-" +
                           std::to_string(index) + ".dll";
        EXPECT_TRUE(CopyFileA((dir + "\\a.dll").c_str(), name.c_str(), FALSE))
            << name << ": error " << GetLastError();
        add += " " + name;
    }
    return add;
}

// Two installers recording into one work set at once, a few times over, as
// their turns may fall apart by chance: the count is the sum.
TEST_F(RecorderOrder, ParallelAddsLoseNoEntry) {
    const DWORD kEntries = 100;
    const DWORD kRounds = 6;
    scratch_.Write("first\\.keep", "");
    scratch_.Write("second\\.keep", "");
    for (DWORD round = 0; round < kRounds; ++round) {
        std::string first = AddOfItsOwn(dir(), "first", round, kEntries);
        std::string second = AddOfItsOwn(dir(), "second", round, kEntries);
        Output one;
        std::thread other([&] { one = Record(first, "\\first"); });
        Output two = Record(second, "\\second");
        other.join();
        EXPECT_EQ(0u, one.exitCode + two.exitCode) << one.text << two.text;
    }

    DWORD count = 0;
    DWORD size = sizeof(count);
    RegGetValueA(HKEY_LOCAL_MACHINE, (std::string(harness::kPendingKey) + "\\w").c_str(), "count",
                 RRF_RT_REG_DWORD, nullptr, &count, &size);
    EXPECT_EQ(2 * kEntries * kRounds, count);
}

// Lets the executable server that the pass runs go on, whatever happened.
struct HeldServer {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "pendreg order hold");
    HeldServer() {
        SetEnvironmentVariableA("PENDREG_TEST_HOLD", "pendreg order hold");
    }
    ~HeldServer() {
        SetEnvironmentVariableA("PENDREG_TEST_HOLD", nullptr);
        SetEvent(release);
        CloseHandle(release);
    }
};

// What add says it recorded while a pass works through the work set either
// ran or is still recorded once the pass has ended.
TEST_F(RecorderOrder, AddWhileAPassRunsTheWorkSetLosesNothing) {
    scratch_.Copy(harness::FixturePath("exeserver.exe"), "server.exe");
    ASSERT_TRUE(harness::RecordWorkSets({{"w", harness::Entries({{"E", "server.exe"}})}}, dir(),
                                        KEY_WOW64_64KEY));
    HeldServer hold;
    Output added;
    std::thread pass([&] { harness::Run("\"" + self_ + "\" /S", nullptr, dir().c_str()); });
    for (int waited = 0; waited < 300 && !Logged("exe"); ++waited) {
        Sleep(100);
    }
    bool passInWorkSet = Logged("exe");
    added = Record("add --view=64 --tool=\"{self}\" --work-set=w --kind=D {dir}\\a.dll");
    SetEvent(hold.release);
    pass.join();

    ASSERT_TRUE(passInWorkSet) << "the pass did not reach the work set";
    bool ran = false;
    for (const std::string& started : harness::StartedCommandLines(log_, self_)) {
        ran |= started.find("/D" + dir() + "\\a.dll") != std::string::npos;
    }
    bool kept = harness::KeyExists(HKEY_LOCAL_MACHINE, std::string(harness::kPendingKey) + "\\w");
    EXPECT_TRUE(added.exitCode != 0 || ran || kept) << "recorded, never run, and gone:\n"
                                                    << added.text;
    EXPECT_TRUE(added.exitCode == 0 || added.text.find("a pass is running") != std::string::npos)
        << added.text;
}

struct BesideCase {
    const char* name;
    const char* arguments; // of a program named as the tool, held while add runs
    bool refused;
};

void PrintTo(const BesideCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderBeside : public RecorderOrder, public testing::WithParamInterface<BesideCase> {};

// Only a process of the tool's name started with "/S" is a pass: the tool's
// own child, a server, or any program that bears the name otherwise does not
// keep add from recording. The program held is the executable server,
// copied under the tool's name.
TEST_P(RecorderBeside, RefusesOnlyWhileAPassRuns) {
    const BesideCase& row = GetParam();
    std::string named = scratch_.Copy(harness::FixturePath("exeserver.exe"), "held\\pendreg.exe");
    HeldServer hold;
    std::thread held([&] {
        harness::Run("\"" + named + "\" " + harness::ReplaceAll(row.arguments, "{dir}", dir()));
    });
    for (int waited = 0; waited < 300 && !Logged("exe"); ++waited) {
        Sleep(100);
    }
    bool running = Logged("exe");
    Output added = Record("add --view=64 --tool=\"{self}\" --work-set=w --kind=D {dir}\\a.dll");
    SetEvent(hold.release);
    held.join();

    ASSERT_TRUE(running) << "the program named as the tool did not start";
    EXPECT_EQ(row.refused ? 2u : 0u, added.exitCode) << added.text;
    EXPECT_EQ(row.refused, added.text.find("a pass is running") != std::string::npos) << added.text;
}

const BesideCase kBesideCases[] = {
    {"PassRunning", "/S", true},
    {"ChildRunning", "/D{dir}\\a.dll", false},
    {"ServerRunning", "/regserver", false},
    {"NoArguments", "", false},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderBeside, testing::ValuesIn(kBesideCases),
                         [](const testing::TestParamInfo<BesideCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

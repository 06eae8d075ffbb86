// The recorder keeps its promise whatever came before it and whatever runs
// beside it: earlier renames at restart, a RunOnce value that starts
// something else than the tool, a refused arm, another recorder, a pass.
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using harness::Output;

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
// The RunOnce values these tests make; the tear-down removes them.
const char* const kValueNames[] = {"pendreg order", "pendreg order 2"};
// How arm names the folders of its copies under the Windows folder's Temp.
const char kCopyFolders[] = "pendreg-";

std::string Renames() {
    std::string value(65536, '\0');
    DWORD size = static_cast<DWORD>(value.size());
    value.resize(RegGetValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, RRF_RT_REG_MULTI_SZ,
                              nullptr, &value[0], &size) == 0
                     ? size
                     : 0);
    return value;
}

std::string CopiesParent() {
    char windows[MAX_PATH];
    return std::string(windows, GetWindowsDirectoryA(windows, MAX_PATH)) + "\\Temp";
}

// The folders of arm's copies there are now.
std::set<std::string> CopyFolders() {
    std::set<std::string> folders;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((CopiesParent() + "\\" + kCopyFolders + "*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        folders.insert(CopiesParent() + "\\" + found.cFileName);
    }
    FindClose(search);
    return folders;
}

// Checks every 100 ms for up to 30 s.
template <typename Condition> bool Eventually(Condition condition) {
    for (int attempt = 0; attempt < 300 && !condition(); ++attempt) {
        Sleep(100);
    }
    return condition();
}

// A recorder started and not yet waited for, its output in a file of its own.
class Started {
  public:
    Started(const std::string& arguments, const std::string& output) : output_(output) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = file;
        std::string line = "\"" + harness::RecorderPath() + "\" " + arguments;
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                            harness::FolderOf(output).c_str(), &startup, &process_)) {
            process_.hProcess = nullptr;
        }
        CloseHandle(file);
    }
    ~Started() {
        if (process_.hProcess != nullptr) {
            TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    // The exit code once it has ended (259 when it did not in time), and
    // what it said.
    Output Finish() {
        Output output;
        output.exitCode = 259;
        if (process_.hProcess != nullptr &&
            WaitForSingleObject(process_.hProcess, harness::kChildTimeoutMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_.hProcess, &output.exitCode);
        }
        output.text = harness::ReadFile(output_);
        return output;
    }

  private:
    std::string output_;
    PROCESS_INFORMATION process_ = {};
};

// What the recorder may change is put back whatever a test asserted: the
// pending key, the machine's pending renames, the RunOnce values these tests
// name, and the copies that arm made.
class RecorderOrder : public testing::Test {
  protected:
    void SetUp() override {
        harness::RemovePendingKey();
        ASSERT_TRUE(harness::KeepToAdministrators(dir()));
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "open\\new.dll");
        ASSERT_TRUE(harness::GrantEveryone(SE_FILE_OBJECT, dir() + "\\open",
                                           FILE_ADD_FILE | FILE_DELETE_CHILD));
    }
    void TearDown() override {
        harness::RemovePendingKey();
        for (const char* name : kValueNames) {
            for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
                HKEY key;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kRunOnceKey, 0, KEY_SET_VALUE | view,
                                  &key) == ERROR_SUCCESS) {
                    RegDeleteValueA(key, name);
                    RegCloseKey(key);
                }
            }
        }
        if (renames_.empty()) {
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames);
        } else {
            RegSetKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, REG_MULTI_SZ,
                            renames_.data(), static_cast<DWORD>(renames_.size()));
        }
        for (const std::string& folder : CopyFolders()) {
            if (folders_.count(folder) == 0) {
                harness::RemoveFile(folder + "\\pendreg.exe");
                RemoveDirectoryA(folder.c_str());
            }
        }
    }

    Output Record(const std::string& arguments) const {
        return harness::RunCapturing(
            harness::Widen("\"" + harness::RecorderPath() + "\" " + Expand(arguments)), dir());
    }
    std::string Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{self}", self_);
        return harness::ReplaceAll(expanded, "{dir}", dir());
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    const std::string renames_ = Renames();
    const std::set<std::string> folders_ = CopyFolders();
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string self_;
};

struct RestartCase {
    const char* name;
    // Before the recorder runs: the target's folder and name, whose first
    // version is "version 1"; a held target; a pending deletion of it; a
    // pending move of {dir}\open\new.dll onto it.
    const char* target;
    bool held;
    bool deletedAtRestart;
    bool newVersionFromOpenFolder;
    // The recorder's runs, "{target}" for the target; each is expected to
    // end with the exit code given, and each "{vN}" a file of that version.
    std::vector<std::pair<std::string, DWORD>> runs;
    // After the restart: the target's content ("" for the fixture DLL's own
    // bytes), and whether a pass then registers it.
    const char* after;
    bool registered;
};

void PrintTo(const RestartCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderAtRestart : public RecorderOrder, public testing::WithParamInterface<RestartCase> {};

// What lies at the target after the restart is the last version the recorder
// said it put there, and a pass registers only what the recorder recorded.
TEST_P(RecorderAtRestart, LastVersionReplacedIsTheOneInPlace) {
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    const RestartCase& row = GetParam();
    std::string target = dir() + "\\app\\" + row.target;
    if (row.newVersionFromOpenFolder) {
        scratch_.Copy(harness::FixturePath("recorder.dll"), std::string("app\\") + row.target);
        ASSERT_TRUE(MoveFileExA((dir() + "\\open\\new.dll").c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    } else {
        scratch_.Write(std::string("app\\") + row.target, "version 1");
    }
    for (const char* version : {"v2", "v3"}) {
        scratch_.Write(std::string("update\\") + version, std::string("version ") + version[1]);
    }
    ASSERT_TRUE(!row.deletedAtRestart ||
                MoveFileExA(target.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    HANDLE held = row.held ? CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr)
                           : INVALID_HANDLE_VALUE;
    for (const auto& run : row.runs) {
        std::string arguments = harness::ReplaceAll(run.first, "{target}", target);
        arguments = harness::ReplaceAll(arguments, "{v2}", "{dir}\\update\\v2");
        Output output = Record(harness::ReplaceAll(arguments, "{v3}", "{dir}\\update\\v3"));
        EXPECT_EQ(run.second, output.exitCode) << run.first << ":\n" << output.text;
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }

    ASSERT_TRUE(harness::RestartWine());
    ASSERT_TRUE(harness::Run("\"" + self_ + "\" /S", nullptr, dir().c_str()).finished);
    std::string expected =
        *row.after == '\0' ? harness::ReadFile(harness::FixturePath("recorder.dll")) : row.after;
    EXPECT_TRUE(Eventually([&] { return harness::ReadFile(target) == expected; }))
        << "the target holds: " << harness::ReadFile(target).substr(0, 40);
    bool registered = false;
    for (const harness::Record& record : log_.Read()) {
        registered |= record.event == "register";
    }
    EXPECT_EQ(row.registered, registered);
}

const RestartCase kRestartCases[] = {
    {"ReplacedAtRestartThenAtOnce",
     "t.dll",
     true,
     false,
     false,
     {{"replace {v2} {target}", 0}, {"replace {v3} {target}", 0}},
     "version 3",
     false},
    {"ReplacedOverAPendingDeletion",
     "t.dll",
     false,
     true,
     false,
     {{"replace {v2} {target}", 0}},
     "version 2",
     false},
    {"PrefixedPathWhoseNewVersionLiesInAnOpenFolder",
     "comp.dll",
     false,
     false,
     true,
     {{"add --view=64 --tool=\"{self}\" --work-set=w \\\\?\\{target}", 2}},
     "",
     false},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderAtRestart, testing::ValuesIn(kRestartCases),
                         [](const testing::TestParamInfo<RestartCase>& info) {
                             return std::string(info.param.name);
                         });

struct ArmCase {
    const char* name;
    // What a RunOnce value "pendreg order" starts with "/S" before: empty
    // for none; "{open}" a copy of the tool in a folder Everyone may
    // change, "{foreign}" another program named pendreg.exe, "{stale}" a
    // copy of the tool that a pending deletion removes at restart; "other"
    // something that is no copy at all.
    const char* armedBefore;
    const char* arguments; // "{ro}": a read-only copy of the tool
    DWORD exitCode;
    const char* said; // in the output
};

void PrintTo(const ArmCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderArm : public RecorderOrder, public testing::WithParamInterface<ArmCase> {};

// A value that starts something other than the tool, or a copy that users
// may change or that will not be there, is never taken for the pass: arm
// places a copy of its own, without the read-only attribute, removes the
// empty folders of earlier copies, and add names that copy. A refused arm
// leaves no copy and no value.
TEST_P(RecorderArm, ArmsOnlyTheToolWhereOnlyAdministratorsMayChangeIt) {
    const ArmCase& row = GetParam();
    std::string readOnly = scratch_.Copy(harness::ToolPath(), "ro\\pendreg.exe");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string armed = harness::ReplaceAll(
        harness::ReplaceAll(harness::ReplaceAll(row.armedBefore, "{open}", "{dir}\\open"),
                            "{foreign}", "{dir}\\foreign"),
        "{stale}", "{dir}\\stale");
    scratch_.Copy(harness::ToolPath(), "open\\pendreg.exe");
    scratch_.Copy(harness::FixturePath("exeserver.exe"), "foreign\\pendreg.exe");
    std::string stale = scratch_.Copy(harness::ToolPath(), "stale\\pendreg.exe");
    ASSERT_TRUE(MoveFileExA(stale.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(*row.armedBefore == '\0' ||
                harness::SetRunOnce(kValueNames[0], Expand("\"" + armed + "\" /S")));
    std::string earlier = CopiesParent() + "\\" + kCopyFolders + "order-empty";
    CreateDirectoryA(earlier.c_str(), nullptr);
    std::string before = harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kRunOnceKey);

    Output run = Record(harness::ReplaceAll(row.arguments, "{ro}", readOnly));

    EXPECT_EQ(row.exitCode, run.exitCode) << run.text;
    EXPECT_NE(std::string::npos, run.text.find(Expand(row.said)))
        << Expand(row.said) << " not in:\n"
        << run.text;
    std::set<std::string> made;
    for (const std::string& folder : CopyFolders()) {
        if (folders_.count(folder) == 0 && folder != earlier) {
            made.insert(folder);
        }
    }
    if (row.exitCode != 0) {
        EXPECT_EQ(std::set<std::string>(), made) << "a refused arm left a copy";
        EXPECT_EQ(before, harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kRunOnceKey));
        return;
    }
    EXPECT_FALSE(harness::FileExists(earlier)) << "an empty folder of an earlier copy stayed";
    ASSERT_EQ(1u, made.size());
    // The copy as arm names it, in the spelling of the folders on disk.
    size_t start = run.text.find("starts \"", run.text.find("armed: the RunOnce")) + 8;
    std::string copy = run.text.substr(start, run.text.find('"', start) - start);
    EXPECT_EQ(harness::Lower(*made.begin() + "\\pendreg.exe"), harness::Lower(copy));
    EXPECT_TRUE(harness::ReadFile(harness::ToolPath()) == harness::ReadFile(copy))
        << "the copy is not the tool";
    EXPECT_EQ(0u, GetFileAttributesA(copy.c_str()) & FILE_ATTRIBUTE_READONLY);
    Output added = Record("add --view=64 --work-set=w --kind=D {dir}\\a.dll");
    EXPECT_TRUE(added.Has("tool: " + copy + " (the copy that the RunOnce value \"" +
                          kValueNames[1] + "\" starts)"))
        << added.text;
    EXPECT_TRUE(added.Has("pendreg-record: warning: 2 RunOnce values start copies of the tool "
                          "with /S: whichever runs first runs every work set, and the lines below "
                          "name the copy of \"" +
                          std::string(kValueNames[1]) + "\"; remove all but one"))
        << added.text;
}

const ArmCase kArmCases[] = {
    {"CopyInAFolderEveryoneMayChangeArmedAlready", "{open}\\pendreg.exe",
     "arm --name=\"pendreg order 2\" --tool=\"{ro}\"", 0,
     "pendreg-record: warning: the RunOnce value \"pendreg order\" starts "
     "\"{dir}\\open\\pendreg.exe\" /S, which is not taken for the pass: ordinary users may "
     "change"},
    {"AnotherProgramNamedAsTheToolArmedAlready", "{foreign}\\pendreg.exe",
     "arm --name=\"pendreg order 2\" --tool=\"{ro}\"", 0,
     "pendreg-record: warning: the RunOnce value \"pendreg order\" starts "
     "\"{dir}\\foreign\\pendreg.exe\" /S, which is not taken for the pass: the tool's copy "
     "{dir}\\foreign\\pendreg.exe is not the tool: its bytes differ from those of {dir}\\ro\\"
     "pendreg.exe"},
    {"CopyDeletedAtRestartArmedAlready", "{stale}\\pendreg.exe",
     "arm --name=\"pendreg order 2\" --tool=\"{ro}\"", 0,
     "pendreg-record: warning: the RunOnce value \"pendreg order\" starts "
     "\"{dir}\\stale\\pendreg.exe\" /S, which is not taken for the pass: the tool's copy "
     "{dir}\\stale\\pendreg.exe is deleted at restart, before it can run"},
    {"ReadOnlyToolWithTheNameTakenRefused", "{dir}\\other.exe",
     "arm --name=\"pendreg order\" --tool=\"{ro}\"", 2,
     "pendreg-record: HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce: a value "
     "\"pendreg order\" is there already and starts something else; choose another --name"},
    {"ToolThatIsNotTheToolRefused", "", "arm --name=\"pendreg order\" --tool={dir}\\a.dll", 2,
     "pendreg-record: tool {dir}\\a.dll: not the tool: its bytes differ from those of "},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderArm, testing::ValuesIn(kArmCases),
                         [](const testing::TestParamInfo<ArmCase>& info) {
                             return std::string(info.param.name);
                         });

// Two installers recording into one work set at once: each one's entries
// are all there, numbered one after another.
TEST_F(RecorderOrder, ParallelAddsLoseNoEntry) {
    const int kEntries = 300;
    std::string files;
    for (int index = 0; index < kEntries; ++index) {
        files += " a.dll";
    }
    std::string arguments = Expand("add --view=64 --tool=\"{self}\" --work-set=w --kind=D" + files);
    Started first(arguments, dir() + "\\first.out");
    Started second(arguments, dir() + "\\second.out");
    Output one = first.Finish();
    Output other = second.Finish();

    EXPECT_EQ(0u, one.exitCode) << one.text;
    EXPECT_EQ(0u, other.exitCode) << other.text;
    DWORD recorded = 0;
    DWORD size = sizeof(recorded);
    RegGetValueA(HKEY_LOCAL_MACHINE, (std::string(harness::kPendingKey) + "\\w").c_str(), "count",
                 RRF_RT_REG_DWORD, nullptr, &recorded, &size);
    EXPECT_EQ(2u * kEntries, recorded);
}

// Signalled by the test: lets the held executable server go.
class HeldServer {
  public:
    HeldServer() : event_(CreateEventA(nullptr, TRUE, FALSE, "pendreg order hold")) {
        SetEnvironmentVariableA("PENDREG_TEST_HOLD", "pendreg order hold");
    }
    ~HeldServer() {
        SetEnvironmentVariableA("PENDREG_TEST_HOLD", nullptr);
        SetEvent(event_);
        CloseHandle(event_);
    }
    HeldServer(const HeldServer&) = delete;
    HeldServer& operator=(const HeldServer&) = delete;
    void Release() {
        SetEvent(event_);
    }

  private:
    HANDLE event_;
};

// An add into the work set that a running pass is working through is not
// lost: what the recorder says it recorded either ran or is still recorded
// once the pass has ended.
TEST_F(RecorderOrder, AddWhileAPassRunsTheWorkSetLosesNothing) {
    scratch_.Copy(harness::FixturePath("exeserver.exe"), "server.exe");
    ASSERT_TRUE(harness::RecordWorkSets({{"w", harness::Entries({{"E", "server.exe"}})}}, dir(),
                                        KEY_WOW64_64KEY));
    HeldServer hold;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION pass = {};
    std::string line = "\"" + self_ + "\" /S";
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               dir().c_str(), &startup, &pass));
    bool serverStarted = Eventually([&] {
        for (const std::string& event : log_.Events()) {
            if (event == "exe") {
                return true;
            }
        }
        return false;
    });

    Output added = Record("add --view=64 --tool=\"{self}\" --work-set=w --kind=D {dir}\\a.dll");
    hold.Release();
    DWORD waited = WaitForSingleObject(pass.hProcess, harness::kChildTimeoutMs);
    CloseHandle(pass.hProcess);
    CloseHandle(pass.hThread);

    ASSERT_TRUE(serverStarted) << "the pass did not reach the work set";
    ASSERT_EQ(WAIT_OBJECT_0, waited) << "the pass did not end";
    bool ran = false;
    for (const std::string& started : harness::StartedCommandLines(log_, self_)) {
        ran |= started.find("/D" + dir() + "\\a.dll") != std::string::npos;
    }
    bool kept = harness::KeyExists(HKEY_LOCAL_MACHINE, std::string(harness::kPendingKey) + "\\w",
                                   KEY_WOW64_64KEY);
    EXPECT_TRUE(added.exitCode != 0 || ran || kept) << "recorded, never run, and gone:\n"
                                                    << added.text;
    EXPECT_TRUE(added.exitCode == 0 || added.text.find("a pass is running") != std::string::npos)
        << added.text;
}

} // namespace

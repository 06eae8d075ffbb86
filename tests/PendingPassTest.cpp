// The pending pass: "/S" runs every recorded entry once and in order, each in
// a process of its own, deletes what it has run, and always ends by
// scheduling the tool's own file for deletion at restart. Work sets are
// recorded the way an installer would, and the pass is always a scratch copy
// of the tool, since it asks for its own file to be deleted.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

const char kSampleLibId[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}";

using harness::Dword;
using harness::Entries;
using harness::kPendingKey;
using harness::RecordedWorkSets;
using harness::RemovePendingKey;
using harness::Sz;
using harness::Value;
using harness::With;
using harness::Without;
using harness::WorkSet;

std::string BaseName(const std::string& path) {
    return path.substr(path.find_last_of("\\/") + 1);
}

// What the fixtures recorded, one line per registration: "a.dll by pendreg.exe"
// for a DLL registered by the tool's child, "a.dll by regsvr32.exe" for the
// system's program, "before-tlb"/"after-tlb" from the type library probe, and
// the command line of an executable server with the folder left out.
std::vector<std::string> Registrations(const harness::RecordLog& log, const std::string& dir) {
    std::vector<std::string> lines;
    for (const harness::Record& record : log.Read()) {
        std::string by = " by " + harness::Lower(BaseName(record.field("process")));
        if (record.event == "register") {
            lines.push_back(harness::Lower(BaseName(record.field("module"))) + by);
        } else if (record.event == "register-before-tlb") {
            lines.push_back("before-tlb" + by);
        } else if (record.event == "register-after-tlb") {
            lines.push_back("after-tlb" + by);
        } else if (record.event == "exe") {
            std::string line = record.field("cmdline");
            size_t at = harness::Lower(line).find(harness::Lower(dir) + "\\");
            if (at != std::string::npos) {
                line.erase(at, dir.size() + 1);
            }
            lines.push_back(line);
        }
    }
    return lines;
}

// A scratch folder holding a copy of the tool and of every fixture that the
// work sets name, in the subfolder folder_ when one is set.
class PendingPass : public testing::Test {
  protected:
    void SetUp() override {
        RemovePendingKey();
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
        std::string in = folder_.empty() ? "" : folder_ + "\\";
        tool_ = scratch_.Copy(harness::ToolPath(), in + "tool\\pendreg.exe");
        for (const char* name : {"a.dll", "b.dll", "c.dll", "d.dll", "e.dll"}) {
            scratch_.Copy(harness::FixturePath("recorder.dll"), in + name);
        }
        scratch_.Copy(harness::FixturePath("tlbprobe.dll"), in + "tlbprobe.dll");
        scratch_.Copy(harness::FixturePath("exeserver.exe"), in + "exeserver.exe");
        scratch_.Copy(harness::FixturePath("sample.tlb"), in + "sample.tlb");
        dir_ = folder_.empty() ? scratch_.path() : scratch_.path() + "\\" + folder_;
    }
    void TearDown() override {
        RemovePendingKey();
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
    }

    std::string PassCommandLine() const {
        return "\"" + tool_ + "\" /S";
    }

    // Runs the pass to its end and checks what every "/S" run must do.
    void RunPass() {
        harness::RunResult result = harness::Run(PassCommandLine(), nullptr, dir().c_str());
        ASSERT_TRUE(result.finished) << "the pass did not end";
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_TRUE(harness::ListedForDeletionAtRestart(tool_))
            << "the tool's own file is not scheduled";
    }

    const std::string& dir() const {
        return dir_;
    }

    std::string folder_;
    std::string dir_;
    // Every pass schedules its own file's deletion at restart.
    harness::SavedRenames savedRenames_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string tool_;
};

TEST_F(PendingPass, OnePendingDllIsRegisteredByAChildAndTheKeyRemoved) {
    ASSERT_TRUE(harness::RecordWorkSets({{"setup", Entries({{"D", "a.dll"}})}}, dir()));

    RunPass();

    std::vector<harness::Record> records = log_.Read();
    ASSERT_EQ((std::vector<std::string>{"register", "unload"}), log_.Events());
    const harness::Record& registered = records[0];
    EXPECT_EQ(harness::Lower(dir() + "\\a.dll"), harness::Lower(registered.field("module")));
    EXPECT_EQ(harness::Lower(tool_), harness::Lower(registered.field("process")))
        << "not the tool's own child";
    EXPECT_EQ(harness::Lower(tool_), harness::Lower(registered.field("parent")));
    EXPECT_EQ("1", registered.field("ole"));
    EXPECT_EQ("0x8001", registered.field("errmode"));
    EXPECT_FALSE(harness::KeyExists(HKEY_LOCAL_MACHINE, kPendingKey));
    EXPECT_TRUE(harness::FileExists(tool_)) << "deleted at restart, not now";
}

struct PassCase {
    const char* name;
    std::vector<WorkSet> workSets; // none: the key does not exist at all
    std::vector<std::string> registrations;
    std::vector<std::string> left; // work sets still recorded; none: the key is gone
    bool typeLibraryRegistered;
    // The scratch subfolder holding the tool and the fixtures, and the ANSI
    // code page its name is written in (0: any).
    std::string folder = "";
    UINT codePage = 0;
};

class PassTable : public PendingPass, public testing::WithParamInterface<PassCase> {
  protected:
    void SetUp() override {
        folder_ = GetParam().folder;
        PendingPass::SetUp();
    }
};

TEST_P(PassTable, RunsEachReadableEntryOnceInOrder) {
    const PassCase& row = GetParam();
    if (row.codePage != 0 && GetACP() != row.codePage) {
        GTEST_SKIP() << "needs ANSI code page " << row.codePage << ", not " << GetACP();
    }
    ASSERT_TRUE(harness::RecordWorkSets(row.workSets, dir()));
    if (row.workSets.empty()) {
        ASSERT_FALSE(harness::KeyExists(HKEY_LOCAL_MACHINE, kPendingKey));
    }

    RunPass();

    EXPECT_EQ(row.registrations, Registrations(log_, dir()));
    EXPECT_EQ(row.left, RecordedWorkSets());
    EXPECT_EQ(!row.left.empty(), harness::KeyExists(HKEY_LOCAL_MACHINE, kPendingKey));
    EXPECT_EQ(row.typeLibraryRegistered, harness::KeyExists(HKEY_CLASSES_ROOT, kSampleLibId));
}

std::string CaseName(const testing::TestParamInfo<PassCase>& info) {
    return info.param.name;
}

const std::vector<Value> kThree = Entries({{"D", "a.dll"}, {"D", "b.dll"}, {"D", "c.dll"}});

const PassCase kRecordedCases[] = {
    {"EveryKindInOneWorkSet",
     {{"mixed", Entries({{"D", "tlbprobe.dll"},
                         {"E", "exeserver.exe"},
                         {"T", "sample.tlb"},
                         {"DX", "a.dll"},
                         {"Q", "b.dll"},
                         {"TX", "b.dll"},
                         {"d", "c.dll"},
                         {"D", ""},
                         {"Dx", "c.dll"},
                         {"D", "tlbprobe.dll"}})}},
     {"before-tlb by pendreg.exe", "\"exeserver.exe\" /regserver", "a.dll by regsvr32.exe",
      "b.dll by regsvr32.exe", "c.dll by pendreg.exe", "after-tlb by pendreg.exe"},
     {},
     true},
    {"TwoWorkSetsOneAfterTheOther",
     {{"first", Entries({{"D", "a.dll"}, {"D", "b.dll"}})}, {"second", Entries({{"D", "c.dll"}})}},
     {"a.dll by pendreg.exe", "b.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"MissingModeSkipsOnlyItsEntry",
     {{"set", Without(kThree, "2.mode")}},
     {"a.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"MissingFileSkipsOnlyItsEntry",
     {{"set", Without(kThree, "2.file")}},
     {"a.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"ModeTooLongForItsBufferIsSkipped",
     {{"set", With(kThree, {Sz("1.mode", "DXY")})}},
     {"b.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"EntriesBeyondCountAreNotRun",
     {{"set", With(kThree, {Dword("count", 2)})}},
     {"a.dll by pendreg.exe", "b.dll by pendreg.exe"},
     {},
     false},
    {"CountAsStringRunsNothing", {{"set", With(kThree, {Sz("count", "3")})}}, {}, {}, false},
    {"CountZeroRunsNothing", {{"set", With(kThree, {Dword("count", 0)})}}, {}, {}, false},
    {"MissingCountRunsNothing", {{"set", Without(kThree, "count")}}, {}, {}, false},
    {"UnopenableWorkSetIsDeletedUnrun",
     {{"closed", kThree, false, KEY_READ}, {"open", Entries({{"D", "d.dll"}})}},
     {"d.dll by pendreg.exe"},
     {},
     false},
    {"NoKeyStillSchedulesTheTool", {}, {}, {}, false},
    // The tool and every entry in a folder named in Shift-JIS "\x83\\\x83t\x83g":
    // three characters, the first of them ending in the byte of a backslash.
    {"DoubleByteFolderCp932",
     {{"set", Entries({{"D", "a.dll"},
                       {"E", "exeserver.exe"},
                       {"T", "sample.tlb"},
                       {"DX", "b.dll"},
                       {"D", "tlbprobe.dll"}})}},
     {"a.dll by pendreg.exe", "\"exeserver.exe\" /regserver", "b.dll by regsvr32.exe",
      "after-tlb by pendreg.exe"},
     {},
     true,
     "\x83\\\x83t\x83g",
     932},
};

INSTANTIATE_TEST_SUITE_P(Recorded, PassTable, testing::ValuesIn(kRecordedCases), CaseName);

// Values stored in forms that do not fill what the pass reads. Each row ends
// with an entry that must still run; names are chosen so that a byte left
// over from the entry before would change what runs ("b.dl" would become
// "b.dll": a name with no extension at all would get ".dll" from the loader).
const std::string kFullBuffer(1024, 'x');

const PassCase kBadValueCases[] = {
    {"EmptyModeRunsNothingOfTheEntryBefore",
     {{"set", With(kThree, {Sz("1.mode", "DX"), {"2.mode", REG_SZ, ""}})}},
     {"a.dll by regsvr32.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"UnterminatedModeTakesOnlyItsOwnBytes",
     {{"set",
       With(kThree, {Sz("1.mode", "DX"), {"2.mode", REG_SZ, "D"}, {"3.mode", REG_SZ, "DX"}})}},
     {"a.dll by regsvr32.exe", "b.dll by pendreg.exe", "c.dll by regsvr32.exe"},
     {},
     false},
    {"ModeFillingItsBufferWithoutTerminatorIsSkipped",
     {{"set", With(kThree, {{"1.mode", REG_SZ, "DXD"}})}},
     {"b.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"EmptyFileRunsNothingOfTheEntryBefore",
     {{"set", With(kThree, {{"2.file", REG_SZ, ""}})}},
     {"a.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"UnterminatedFileTakesOnlyItsOwnBytes",
     {{"set", With(kThree, {Sz("1.file", "{dir}\\d.dll"),
                            {"2.file", REG_SZ, "{dir}\\e.dll"},
                            {"3.file", REG_SZ, "{dir}\\b.dl"},
                            Dword("count", 4),
                            Sz("4.mode", "D"),
                            Sz("4.file", "{dir}\\c.dll")})}},
     {"d.dll by pendreg.exe", "e.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"FileFillingItsBufferWithoutTerminatorIsSkipped",
     {{"set", With(kThree, {{"2.file", REG_SZ, kFullBuffer}})}},
     {"a.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"FileTooLongForItsBufferIsSkipped",
     {{"set", With(kThree, {Sz("2.file", kFullBuffer)})}},
     {"a.dll by pendreg.exe", "c.dll by pendreg.exe"},
     {},
     false},
    {"MistypedValuesAreSkipped",
     {{"set",
       With(kThree, {{"1.mode", REG_BINARY, "D"}, {"2.file", REG_EXPAND_SZ, "{dir}\\b.dll"}})}},
     {"c.dll by pendreg.exe"},
     {},
     false},
    {"CountOfOneByteCountsWhatItHas",
     {{"set", With(kThree, {{"count", REG_DWORD, "\x02"}})}},
     {"a.dll by pendreg.exe", "b.dll by pendreg.exe"},
     {},
     false},
    {"CountOfNoBytesRunsNothing",
     {{"set", With(kThree, {{"count", REG_DWORD, ""}})}, {"then", Entries({{"D", "d.dll"}})}},
     {"d.dll by pendreg.exe"},
     {},
     false},
    {"CountTooLongForItsBufferRunsNothing",
     {{"set", With(kThree, {{"count", REG_DWORD, std::string("\x01\0\0\0\0\0\0\0", 8)}})}},
     {},
     {},
     false},
};

INSTANTIATE_TEST_SUITE_P(BadValues, PassTable, testing::ValuesIn(kBadValueCases), CaseName);

// Work sets that cannot be deleted: each is run once, the pass goes on to the
// next and ends, and the key stays with what is left in it.
const PassCase kUndeletableCases[] = {
    {"WorkSetWithSubkeyRunsOnceAndStays",
     {{"a", Entries({{"D", "a.dll"}})},
      {"b", Entries({{"D", "b.dll"}, {"D", "c.dll"}}), true},
      {"c", Entries({{"D", "d.dll"}})}},
     {"a.dll by pendreg.exe", "b.dll by pendreg.exe", "c.dll by pendreg.exe",
      "d.dll by pendreg.exe"},
     {"b"},
     false},
    {"TwoUndeletableWorkSetsAmongOthers",
     {{"a", Entries({{"D", "a.dll"}})},
      {"b", Entries({{"D", "b.dll"}}), true},
      {"c", Entries({{"D", "c.dll"}}), true},
      {"d", Entries({{"D", "d.dll"}})}},
     {"a.dll by pendreg.exe", "b.dll by pendreg.exe", "c.dll by pendreg.exe",
      "d.dll by pendreg.exe"},
     {"b", "c"},
     false},
};

INSTANTIATE_TEST_SUITE_P(Undeletable, PassTable, testing::ValuesIn(kUndeletableCases), CaseName);

// A pass killed while a child runs leaves its work set, and those after it,
// recorded; the next pass runs that work set again from entry 1.
TEST_F(PendingPass, PassCutShortLosesNothing) {
    ASSERT_TRUE(harness::RecordWorkSets(
        {{"a", Entries({{"D", "a.dll"}, {"E", "exeserver.exe"}, {"D", "b.dll"}})},
         {"b", Entries({{"D", "c.dll"}})}},
        dir()));
    std::string holdName = "pendreg-hold-" + std::to_string(GetCurrentProcessId());
    HANDLE hold = CreateEventA(nullptr, TRUE, FALSE, holdName.c_str());
    ASSERT_NE(nullptr, hold);
    SetEnvironmentVariableA("PENDREG_TEST_HOLD", holdName.c_str());

    std::string commandLine = PassCommandLine();
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION pass = {};
    BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  dir().c_str(), &startup, &pass);
    SetEnvironmentVariableA("PENDREG_TEST_HOLD", nullptr);
    ASSERT_TRUE(started);
    CloseHandle(pass.hThread);
    DWORD waited = 0;
    while (log_.Events().size() < 3 && waited < harness::kChildTimeoutMs) {
        Sleep(50);
        waited += 50;
    }
    TerminateProcess(pass.hProcess, 1);
    WaitForSingleObject(pass.hProcess, 10000);
    CloseHandle(pass.hProcess);
    SetEvent(hold);
    ASSERT_EQ((std::vector<std::string>{"register", "unload", "exe"}), log_.Events())
        << "the pass never reached the held server";
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), RecordedWorkSets());

    RunPass();

    CloseHandle(hold);
    EXPECT_EQ((std::vector<std::string>{"a.dll by pendreg.exe", "\"exeserver.exe\" /regserver",
                                        "a.dll by pendreg.exe", "\"exeserver.exe\" /regserver",
                                        "b.dll by pendreg.exe", "c.dll by pendreg.exe"}),
              Registrations(log_, dir()));
    EXPECT_FALSE(harness::KeyExists(HKEY_LOCAL_MACHINE, kPendingKey));
}

// The scheduled deletion is carried out by the platform's restart.
TEST_F(PendingPass, ToolFileIsGoneAfterRestart) {
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    RunPass();
    ASSERT_TRUE(harness::FileExists(tool_));

    ASSERT_TRUE(harness::RestartWine());

    EXPECT_FALSE(harness::FileExists(tool_));
}

} // namespace

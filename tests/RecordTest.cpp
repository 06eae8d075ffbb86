// The recorder: what it writes, the inspector reports clean and the pass runs
// exactly as printed; what it refuses, it refuses whole, the registry byte
// for byte as it was; replace, now or at restart; arm, once.
#include "checks/trust/AccessList.h"
#include "checks/trust/Exposure.h"
#include "companion/OutputLog.h"
#include "fixtures/ClassKey.h"
#include "checks/trust/AccessList.h"
#include "companion/OutputLog.h"
#include "checks/trust/Exposure.h"
#include "companion/ExitCodes.h"
#include "harness/Guards.h"
#include "harness/Link.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"
#include "harness/Jq.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

namespace {

using harness::Dword;
using harness::Entries;
using harness::FromUtf8;
using harness::Output;
using harness::Sz;
using harness::Value;
using harness::Widen;
using harness::With;
using harness::WorkSet;

const char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// The RunOnce value that arms the pass for the inspector's round trip.
const char kArmName[] = "pendreg record round trip";
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
// Under code page 1252 neither the folder's nor the file's name can be held.
const wchar_t kUnicodeFile[] = L"\x03A9mega\\comp\x03A9nent.dll";

// What the recorder may change: the pending key in both views, and RunOnce.
std::string RegistryState() {
    return harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_64KEY) +
           harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_32KEY) +
           harness::DumpKey(HKEY_LOCAL_MACHINE, kRunOnce, KEY_WOW64_64KEY);
}

// A work set's values by name: type, a space, then the bytes.
std::map<std::string, std::string> ValuesOf(const std::string& workSet, REGSAM view) {
    std::map<std::string, std::string> values;
    HKEY key = nullptr;
    std::string path = std::string(harness::kPendingKey) + "\\" + workSet;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key);
    char name[256];
    char data[2048];
    DWORD nameLength = sizeof(name);
    DWORD type = 0;
    DWORD size = sizeof(data);
    for (DWORD index = 0; RegEnumValueA(key, index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &size) == 0;
         ++index, nameLength = sizeof(name), size = sizeof(data)) {
        values[name] = std::to_string(type) + " " + std::string(data, size);
    }
    RegCloseKey(key);
    return values;
}

// The machine's list of renames at restart, or empty when there is none.
std::string Renames() {
    std::string value(65536, '\0');
    DWORD size = static_cast<DWORD>(value.size());
    value.resize(RegGetValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, RRF_RT_REG_MULTI_SZ,
                              nullptr, &value[0], &size) == 0
                     ? size
                     : 0);
    return value;
}

// What follows the marker in the text, up to the next double quote.
std::string Quoted(const std::string& text, const std::string& marker) {
    size_t start = text.find(marker);
    start = start == std::string::npos ? text.size() : start + marker.size();
    return text.substr(start, text.find('"', start) - start);
}

// A scratch folder with the fixtures, a copy of the tool, and the test
// program standing in for the tool, so that the pass's children record the
// line they were started with.
class RecorderTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(harness::KeepToAdministrators(dir()));
        tool_ = scratch_.Copy(harness::ToolPath(), "tool\\pendreg.exe");
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
        for (const char* name : {"a.dll", "b.dll"}) {
            scratch_.Copy(harness::FixturePath("recorder.dll"), name);
        }
        scratch_.Copy(harness::FixturePath("recorder32.dll"), "rec32.dll");
        // A name with a short form of its own.
        std::string longName = scratch_.Copy(harness::FixturePath("recorder.dll"), "Long Name.dll");
        char shortName[MAX_PATH] = {};
        ASSERT_NE(0u, GetShortPathNameA(longName.c_str(), shortName, MAX_PATH));
        shortName_ = shortName;
        ASSERT_NE(longName, shortName_);
        scratch_.Copy(harness::FixturePath("noexport.dll"), "noexport.dll");
        scratch_.Copy(harness::FixturePath("nearexport.dll"), "nearexport.dll");
        scratch_.Copy(harness::FixturePath("needsdep.dll"), "needsdep.dll");
        scratch_.Copy(harness::FixturePath("exeserver.exe"), "exeserver.exe");
        scratch_.Copy(harness::FixturePath("sample.tlb"), "sample.tlb");
        scratch_.Write("not a library.tlb", "plain text, no type library\r\n");
        // A folder where ordinary users may add and delete files.
        scratch_.Copy(harness::FixturePath("recorder.dll"), "open\\a.dll");
        ASSERT_TRUE(harness::GrantEveryone(SE_FILE_OBJECT, dir() + "\\open",
                                           FILE_ADD_FILE | FILE_DELETE_CHILD));
        CreateDirectoryW(UnicodeFile().substr(0, UnicodeFile().rfind(L'\\')).c_str(), nullptr);
        CopyFileW(Widen(harness::FixturePath("recorder.dll")).c_str(), UnicodeFile().c_str(), 0);
        wchar_t shortPath[MAX_PATH] = {};
        GetShortPathNameW(UnicodeFile().c_str(), shortPath, MAX_PATH);
        shortPath_.resize(MAX_PATH * 2);
        shortPath_.resize(WideCharToMultiByte(CP_ACP, 0, shortPath, -1, &shortPath_[0],
                                              MAX_PATH * 2, nullptr, nullptr) -
                          1);
    }
    // The scratch folder goes through the ANSI functions, which cannot name
    // these.
    void TearDown() override {
        harness::DeleteRunOnce(kArmName);
        DeleteFileW(UnicodeFile().c_str());
        RemoveDirectoryW(UnicodeFile().substr(0, UnicodeFile().rfind(L'\\')).c_str());
    }

    std::wstring UnicodeFile() const {
        return Widen(dir()) + L"\\" + kUnicodeFile;
    }
    // A full path of the given length in the scratch folder.
    std::string PathOfLength(size_t length) const {
        return dir() + "\\" + std::string(length - dir().size() - 1, 'x');
    }
    // "{long}": a path whose "E" command line is one byte too long;
    // "{toolong}": a path of 1024 bytes.
    std::string Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{long}", PathOfLength(1011));
        expanded = harness::ReplaceAll(expanded, "{toolong}", PathOfLength(1024));
        expanded = harness::ReplaceAll(expanded, "{short}", shortPath_);
        expanded = harness::ReplaceAll(expanded, "{shortname}", shortName_);
        expanded = harness::ReplaceAll(expanded, "{self}", self_);
        expanded = harness::ReplaceAll(expanded, "{tool}", tool_);
        return harness::ReplaceAll(expanded, "{dir}", dir());
    }
    // The recorder, with the arguments given in UTF-8 and expanded.
    Output Record(const std::string& arguments) const {
        return harness::RunCapturing(
            L"\"" + Widen(harness::RecorderPath()) + L"\" " + FromUtf8(Expand(arguments)), dir());
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    // add notes what it recorded in the products' record too.
    harness::PendingKeyGuard pendingKey_;
    // The pass that a row runs schedules its own file's deletion; replace
    // and some rows schedule moves.
    harness::SavedRenames savedRenames_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string tool_;
    std::string self_;
    std::string shortPath_;
    std::string shortName_;
};

// The recorder's JSON document, parsed by jq, says what the text of the same
// run says: the same lines, the entries' command lines as
// add printed them, add's findings by code and outcome, and the exit code.
// The text run goes first and is taken back; then the same run with
// --format=json.
struct JsonRunCase {
    const char* name;
    // Run before each of the two runs, and after the text run to take it back.
    const char* before;
    const char* arguments;
    const char* undo;
    // "OUTCOME CODE" of a finding the document holds, or empty.
    const char* finding;
    DWORD exitCode;
};

void PrintTo(const JsonRunCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderJson : public RecorderTest, public testing::WithParamInterface<JsonRunCase> {
  protected:
    void RunIfGiven(const char* arguments) {
        if (*arguments != '\0') {
            Output run = Record(arguments);
            ASSERT_EQ(0u, run.exitCode) << arguments << "\n" << run.text;
        }
    }
};

// "exit N", then "line TEXT" for each line said, "runs LINE" for each entry
// recorded and "outcome O CODE" for each of add's findings.
const char kRecordJsonLines[] =
    "\"exit \\(.exit_code)\", (.lines[] | \"line \\(.text)\"), "
    "(.entries[] | \"runs  entry \\(.index) (\\(.mode)): runs \\(.command_line)\"), "
    "(.findings[] | \"outcome \\(.finding.outcome) \\(.finding.code)\")";

TEST_P(RecorderJson, SaysWhatTheTextSays) {
    const JsonRunCase& row = GetParam();
    if (!harness::JqAvailable()) {
        GTEST_SKIP() << "jq runs only on Wine's Unix side";
    }
    RunIfGiven(row.before);
    Output text = Record(row.arguments);
    RunIfGiven(row.undo);
    RunIfGiven(row.before);
    Output json = Record(std::string(row.arguments) + " --format=json");
    std::string file = scratch_.Write("record.json", json.text);
    std::vector<std::string> read;
    std::string error;
    ASSERT_TRUE(harness::RunJq(kRecordJsonLines, file, &read, &error))
        << error << "\nin:\n"
        << json.text;

    EXPECT_EQ(row.exitCode, text.exitCode) << text.text;
    EXPECT_EQ(text.exitCode, json.exitCode) << json.text;
    ASSERT_FALSE(read.empty());
    EXPECT_EQ("exit " + std::to_string(text.exitCode), read[0]);
    std::vector<std::string> lines;
    std::multiset<std::string> outcomes;
    for (const std::string& line : read) {
        if (line.compare(0, 5, "line ") == 0) {
            lines.push_back(line.substr(5));
        } else if (line.compare(0, 6, "runs  ") == 0) {
            EXPECT_TRUE(text.Has(line.substr(4))) << line << "\nnot in:\n" << text.text;
        } else if (line.compare(0, 8, "outcome ") == 0) {
            outcomes.insert(line.substr(8));
        }
    }
    // In the order said; the text's file may hold standard error's lines
    // before or after those of the buffered standard output.
    std::vector<std::string> printed = text.lines;
    std::sort(printed.begin(), printed.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(printed, lines) << json.text;
    if (*row.finding != '\0') {
        EXPECT_NE(0u, outcomes.count(row.finding)) << row.finding << " not in:\n" << json.text;
    }
}

const JsonRunCase kJsonRunCases[] = {
    {"AddRecorded", "", "add --view=64 --work-set=js {dir}\\a.dll {dir}\\exeserver.exe",
     "discard --view=64 --work-set=js", "ok file-present", 0},
    {"AddRefused", "", "add --view=64 --work-set=js {dir}\\a.dll {dir}\\noexport.dll", "",
     "refuse no-register-export", 2},
    // A module the file needs may come later in the same install.
    {"AddRecordsWhatOnlyFails", "", "add --view=64 --work-set=js {dir}\\needsdep.dll",
     "discard --view=64 --work-set=js", "fail module-missing", 0},
    {"Discard", "add --view=64 --work-set=js {dir}\\a.dll", "discard --view=64 --work-set=js", "",
     "", 0},
    {"Unregister", "add --view=64 --work-set=js {dir}\\a.dll",
     "unregister --view=64 --work-set=js", "discard --view=64 --work-set=js", "", 0},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderJson, testing::ValuesIn(kJsonRunCases),
                         [](const testing::TestParamInfo<JsonRunCase>& info) {
                             return std::string(info.param.name);
                         });

struct RunCase {
    const char* name;
    // "{add64}": add for the test build's tool (the 64-bit view), whose
    // command lines name the test program standing in for it.
    const char* arguments;
    std::vector<WorkSet> before;
    // A run that changes nothing (refused, or asked for its usage or
    // version): a line it prints, and untouchedExit is its exit code.
    // Otherwise empty, and the values of the work set that the run names
    // afterwards follow.
    const char* untouched;
    std::vector<Value> stored = {};
    int bits = 64;
    // A failure that a recorded run still says, and the inspector too.
    const char* said = "";
    // A file of this name in the scratch folder, moved away at restart.
    const char* movedAway = "";
    // It records 32-bit files, whose system modules only a 32-bit Wine has.
    bool needs32BitSystem = false;
    int untouchedExit = kExitRefused;
};

void PrintTo(const RunCase& row, std::ostream* out) {
    *out << row.name;
}

// A run that prints the line, changes nothing and ends with 0: asked for its
// usage or version.
RunCase Answered(const char* name, const char* arguments, const char* line) {
    RunCase row = {name, arguments, {}, line};
    row.untouchedExit = kExitDone;
    return row;
}

class RecorderRuns : public RecorderTest, public testing::WithParamInterface<RunCase> {};

// A recorded run writes what it says, the inspector finds nothing wrong with
// it, and, with the test build's own 64-bit tool, the pass starts exactly the
// command lines it printed. A refused run says why in one line, exits with 2
// and leaves the registry as it was; so does a run asked for its usage or
// version, which exits with 0.
TEST_P(RecorderRuns, RecordsWhatThePassRunsAsPrintedOrNothing) {
    const RunCase& row = GetParam();
    if (row.needs32BitSystem && harness::LeftToTheLane()) {
        GTEST_SKIP() << harness::kNo32BitSystem;
    }
    REGSAM view = row.bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    ASSERT_TRUE(harness::RecordWorkSets(row.before, dir(), view));
    if (*row.movedAway != '\0') {
        std::string moved = scratch_.Write(row.movedAway, "moved away at restart");
        ASSERT_TRUE(
            MoveFileExA(moved.c_str(), (moved + "-away").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
    }
    std::string before = RegistryState();

    Output run =
        Record(harness::ReplaceAll(row.arguments, "{add64}", "add --tool=\"{self}\" --view=64"));

    if (*row.untouched != '\0') {
        EXPECT_EQ(static_cast<DWORD>(row.untouchedExit), run.exitCode) << run.text;
        EXPECT_TRUE(run.Has(Expand(row.untouched))) << Expand(row.untouched) << " not in:\n"
                                                    << run.text;
        EXPECT_EQ(before, RegistryState());
        return;
    }
    ASSERT_EQ(0u, run.exitCode) << run.text;
    std::map<std::string, std::string> expected;
    for (const Value& value : row.stored) {
        expected[value.name] = std::to_string(value.type) + " " + Expand(value.bytes);
    }
    std::map<std::string, std::string> stored = ValuesOf(Quoted(run.text, "work set \""), view);
    EXPECT_EQ(expected, stored) << run.text;
    // Armed, as an installer would be, with the copy that the pass runs.
    ASSERT_TRUE(harness::SetRunOnce(kArmName, "\"" + self_ + "\" /S"));
    Output inspection = harness::RunCapturing(Widen("\"" + harness::InspectorPath() +
                                                    "\" --view=" + std::to_string(row.bits) +
                                                    " --tool=\"" + self_ + "\""),
                                              dir());
    EXPECT_TRUE(*row.said == '\0' || run.Has(Expand(row.said))) << run.text;
    EXPECT_EQ(*row.said == '\0' ? 0u : 1u, inspection.exitCode) << inspection.text;
    if (row.bits != 64) {
        return;
    }
    std::vector<std::string> printed = harness::PrintedCommandLines(run.lines);
    harness::RunResult pass = harness::Run("\"" + self_ + "\" /S", nullptr, dir().c_str());
    ASSERT_TRUE(pass.finished);
    std::vector<std::string> started = harness::StartedCommandLines(log_, self_);
    // Every entry up to the count runs, those there before and those added.
    ASSERT_EQ(static_cast<unsigned char>(stored["count"][2]), started.size())
        << run.text << "the pass ended with " << pass.exitCode << "; the work set is "
        << (harness::KeyExists(HKEY_LOCAL_MACHINE, std::string(harness::kPendingKey) + "\\w", view)
                ? "still there"
                : "gone")
        << "; the records:\n"
        << log_.Text();
    EXPECT_EQ(printed, std::vector<std::string>(started.end() - printed.size(), started.end()));
}

const RunCase kRunCases[] = {
    {"EachKindPickedFromItsFile",
     "{add64} --work-set=w {dir}\\a.dll {dir}\\exeserver.exe {dir}\\sample.tlb",
     {},
     "",
     Entries({{"D", "a.dll"}, {"E", "exeserver.exe"}, {"T", "sample.tlb"}})},
    {"SixtyFourBitDllPickedAsDXForThe32BitTool",
     "add --tool=\"{self}\" --work-set=w {dir}\\rec32.dll {dir}\\b.dll",
     {},
     "",
     Entries({{"D", "rec32.dll"}, {"DX", "b.dll"}}),
     32,
     "",
     "",
     true},
    {"ModuleItNeedsMissingSaidButRecorded",
     "{add64} --work-set=w {dir}\\needsdep.dll",
     {},
     "",
     Entries({{"D", "needsdep.dll"}}),
     64,
     "pendreg-record: warning: {dir}\\needsdep.dll: needs dephelper.dll, which a 64-bit process "
     "will not find: not in {dir}, the system folder, the Windows folder or PATH"},
    {"KindNamed",
     "{add64} --work-set=w --kind=E {dir}\\exeserver.exe",
     {},
     "",
     Entries({{"E", "exeserver.exe"}})},
    {"PathTheAnsiCodePageCannotHoldStoredShort",
     u8"{add64} --work-set=w --kind=D {dir}\\Ωmega\\compΩnent.dll",
     {},
     "",
     With(Entries({{"D", ""}}), {Sz("1.file", "{short}")})},
    {"AppendedAfterTheEntriesThere",
     "{add64} --work-set=w --kind=D {dir}\\b.dll",
     {{"w", Entries({{"D", "a.dll"}})}},
     "",
     Entries({{"D", "a.dll"}, {"D", "b.dll"}})},
    {"ValuesBeyondTheCountOverwrittenOrRemoved",
     "{add64} --work-set=w --kind=D {dir}\\b.dll",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("2.mode", "Q"), Sz("2.file", "half"),
                                             Sz("3.mode", "E"), Sz("3.file", "{dir}\\a.dll")})}},
     "",
     Entries({{"D", "a.dll"}, {"D", "b.dll"}})},
    // A pending move of {dir}\b says nothing about {dir}\b.dll.
    {"FileBesideANameMovedAwayAtRestart",
     "{add64} --work-set=w {dir}\\b.dll",
     {},
     "",
     Entries({{"D", "b.dll"}}),
     64,
     "",
     "b"},
    {"NewWorkSetNamedByTheRecorder",
     "{add64} --kind=D {dir}\\a.dll",
     {},
     "",
     Entries({{"D", "a.dll"}})},
    {"FileInAFolderOrdinaryUsersMayChange",
     "add --view=64 {dir}\\open\\a.dll",
     {},
     "pendreg-record: {dir}\\open\\a.dll: ordinary users may change the folder {dir}\\open of "
     "the file: Everyone may add files to it, delete files in it"},
    {"UnknownVerb", "record {dir}\\a.dll", {}, "pendreg-record: unknown verb: record"},
    {"UnknownOption",
     "add --colour {dir}\\a.dll",
     {},
     "pendreg-record: add: unknown option: --colour"},
    {"OptionOfAnotherVerb", "arm --kind=D", {}, "pendreg-record: arm: unknown option: --kind=D"},
    {"NoFile", "add --view=64", {}, "pendreg-record: add: too few operands"},
    {"DiscardWithoutWorkSetShowsTheUsage",
     "discard --view=64",
     {},
     "usage: pendreg-record VERB [OPTION...] [OPERAND...]"},
    {"UnknownKind",
     "add --kind=TX {dir}\\sample.tlb",
     {},
     "pendreg-record: add: --kind is D, DX, E or T, not TX"},
    {"FileNotThere",
     "add --view=64 {dir}\\missing.dll",
     {},
     "pendreg-record: {dir}\\missing.dll: file not found, and no pending rename creates it"},
    {"NoRegistrationExport",
     "add --view=64 {dir}\\noexport.dll",
     {},
     "pendreg-record: {dir}\\noexport.dll: does not export DllRegisterServer: nothing would be "
     "registered"},
    {"OnlyANameThatBeginsLikeTheRegistrationExport",
     "add --view=64 {dir}\\nearexport.dll",
     {},
     "pendreg-record: {dir}\\nearexport.dll: does not export DllRegisterServer: nothing would be "
     "registered"},
    {"ThirtyTwoBitDllForThe64BitTool",
     "add --view=64 {dir}\\rec32.dll",
     {},
     "pendreg-record: {dir}\\rec32.dll: 32-bit DLL: the tool's own 64-bit child cannot load it"},
    {"DllNamedAsExecutable",
     "add --view=64 --kind=E {dir}\\a.dll",
     {},
     "pendreg-record: {dir}\\a.dll: a DLL, not an executable (record it as D or DX)"},
    {"NoImageAndNoTypeLibrary",
     "add --view=64 \"{dir}\\not a library.tlb\"",
     {},
     "pendreg-record: {dir}\\not a library.tlb: does not load as a type library"},
    {"PathThatCannotBeStored",
     u8"add --kind=D {dir}\\Ωnly.dll",
     {},
     "pendreg-record: {dir}\\<U+03A9>nly.dll: cannot be stored: the ANSI code page cannot hold its "
     "path, "
     "and it has no short form that it can hold"},
    {"CommandLineThatWouldNotFit",
     "add --kind=E {long}",
     {},
     "pendreg-record: {long}: its command line would be longer than 1023 characters (bytes "
     "in the ANSI code page)"},
    {"PathTooLongForThePass",
     "add --kind=D {toolong}",
     {},
     "pendreg-record: {toolong}: cannot be stored: its path has 1024 bytes, and the pass reads at "
     "most 1023"},
    {"OneFileRefusedRefusesAll",
     "{add64} --work-set=w {dir}\\b.dll {dir}\\noexport.dll {dir}\\a.dll",
     {{"w", Entries({{"D", "a.dll"}})}},
     "pendreg-record: nothing recorded"},
    {"WorkSetNameTheAnsiCodePageCannotHold",
     u8"add --work-set=W中 --kind=D {dir}\\a.dll",
     {},
     "pendreg-record: work set \"W<U+4E2D>\": cannot be used: the ANSI code page cannot hold it, "
     "and the "
     "pass opens work sets by their ANSI names (ASCII is safest)"},
    {"WorkSetNameWithBackslash",
     "add --work-set=a\\b --kind=D {dir}\\a.dll",
     {},
     "pendreg-record: work set \"a\\b\": cannot be used: a backslash would make it a key inside "
     "another"},
    // The name keys the product's record too, for every verb.
    {"ProductNameWithBackslashForReplace",
     "replace --work-set=a\\b {dir}\\a.dll {dir}\\b.dll",
     {},
     "pendreg-record: work set \"a\\b\": cannot be used: a backslash would make it a key inside "
     "another"},
    {"CountOfAnotherType",
     "{add64} --work-set=w --kind=D {dir}\\a.dll",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("count", "1")})}},
     "pendreg-record: work set \"w\": its \"count\" is not a REG_DWORD of 4 bytes, so the pass "
     "would run none of it; discard the work set or record into another"},
    {"WorkSetWithAKeyOfItsOwn",
     "{add64} --work-set=w --kind=D {dir}\\a.dll",
     {{"w", Entries({{"D", "a.dll"}}), true}},
     "pendreg-record: work set \"w\": it holds a key of its own, so the pass cannot delete it and "
     "runs it again at every pass; record into another work set"},
    {"CountThatThePassReachesOnlyAfterHours",
     "{add64} --work-set=w --kind=D {dir}\\a.dll",
     {{"w", With(Entries({{"D", "a.dll"}}), {Dword("count", 0xFFFFFF00u)})}},
     "pendreg-record: work set \"w\": its \"count\" is 4294967040, and entries are numbered up to "
     "1000000 at most: the pass counts through every number before the new entries; record into "
     "another work set"},
    // A repair runs the installer again: what is recorded stays once.
    {"FileRecordedAlreadyNotAddedTwice",
     "{add64} --work-set=w --kind=D {dir}\\a.dll",
     {{"w", Entries({{"D", "a.dll"}})}},
     "",
     Entries({{"D", "a.dll"}})},
    {"SameFileSpelledOtherwiseNotAddedTwice",
     "{add64} --work-set=w --kind=D {dir}\\.\\A.DLL {dir}\\b.dll",
     {{"w", Entries({{"D", "a.dll"}})}},
     "",
     Entries({{"D", "a.dll"}, {"D", "b.dll"}})},
    {"FileByItsLongAndItsShortPathRecordedOnce",
     "{add64} --work-set=w --kind=D \"{dir}\\Long Name.dll\" {shortname}",
     {},
     "",
     Entries({{"D", "Long Name.dll"}})},
    // Another mode is another registration: the 64-bit regsvr32.exe's.
    {"FileRecordedAsDXAndAddedAsDKeepsBoth",
     "{add64} --work-set=w --kind=D {dir}\\a.dll",
     {{"w", Entries({{"DX", "a.dll"}})}},
     "",
     Entries({{"DX", "a.dll"}, {"D", "a.dll"}})},
    {"FileGivenTwiceRecordedOnce",
     "{add64} --work-set=w --kind=D {dir}\\a.dll {dir}\\a.dll",
     {},
     "",
     Entries({{"D", "a.dll"}})},
    // The front end: Unicode arguments, one table of options, the usage
    // and the version, the exit codes.
    {"UnicodeWorkSetNameTheCodePageHolds",
     u8"{add64} --work-set=Café --kind=D {dir}\\a.dll",
     {},
     "",
     Entries({{"D", "a.dll"}})},
    Answered("VersionOfTheRelease", "--version", "pendreg-record " PENDREG_VERSION),
    Answered("VersionAfterAVerb", "add --version {dir}\\a.dll", "pendreg-record " PENDREG_VERSION),
    // Each verb's synopsis comes from the options it takes: those it cannot
    // do without bare, the others in brackets, repeated ones with "...".
    Answered("HelpPrintsEachVerbFromItsOptions", "--help",
             "  install --work-set=NAME [--view=32|64] [--name=NAME] [--replace=NEW|TARGET]..."),
    Answered("HelpNamesEveryExitCode", "--help",
             "Exit code: 0 done; 2 refused or failed, with nothing changed; 3 out of memory"),
    {"UnknownOptionPrintsTheUsage",
     "add --colour {dir}\\a.dll",
     {},
     "  add [--work-set=NAME] [--view=32|64] [--kind=D|DX|E|T] [--tool=PATH] FILE..."},
    // A file named like an option, refused as a file.
    {"OptionsEndAtTheDoubleDash",
     "add --view=64 -- --kind=D",
     {},
     "pendreg-record: nothing recorded"},
    {"ViewNeither32Nor64",
     "add --view=48 {dir}\\a.dll",
     {},
     "pendreg-record: add: unknown option: --view=48"},
    {"ValueMissing", "arm --name=", {}, "pendreg-record: arm: unknown option: --name="},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderRuns, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RunCase>& info) {
                             return std::string(info.param.name);
                         });

struct ReplaceCase {
    const char* name;
    // Held open without delete sharing meanwhile, or "": the target, in
    // use, or the new version, which then cannot be copied.
    const char* held;
    const char* newFile;
    DWORD exitCode;
    const char* line; // how the output begins
    const char* targetNow;
    bool atRestart;          // a move with the replace flag onto the target is listed
    size_t filesBeside;      // in the target's folder, the target included
    bool openFolder = false; // ordinary users may add files to the target's folder
};

void PrintTo(const ReplaceCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderReplace : public RecorderTest, public testing::WithParamInterface<ReplaceCase> {};

// The new version takes the target's place at once when it can, at restart
// when the target is in use, and not at all when it cannot be had: then the
// target is untouched and no copy is left beside it.
TEST_P(RecorderReplace, PutsTheNewVersionInPlaceNowOrAtRestart) {
    const ReplaceCase& row = GetParam();
    std::string target = scratch_.Write("app\\target.dll", "version 1");
    scratch_.Write("update\\new.dll", "version 2");
    ASSERT_TRUE(!row.openFolder ||
                harness::GrantEveryone(SE_FILE_OBJECT, dir() + "\\app", FILE_ADD_FILE));
    HANDLE held = *row.held == '\0' ? INVALID_HANDLE_VALUE
                                    : CreateFileA((dir() + "\\" + row.held).c_str(), GENERIC_READ,
                                                  0, nullptr, OPEN_EXISTING, 0, nullptr);

    Output replaced = Record(std::string("replace {dir}\\") + row.newFile + " " + target);

    CloseHandle(held);
    EXPECT_EQ(row.exitCode, replaced.exitCode) << replaced.text;
    EXPECT_EQ(0u, replaced.text.find(Expand(row.line))) << replaced.text;
    EXPECT_EQ(row.targetNow, harness::ReadFile(target));
    // Without the flag the move fails at restart: the target is there.
    EXPECT_EQ(row.atRestart ? "replaced" : "", harness::FateAtRestart(target))
        << harness::ReplaceAll(Renames(), std::string(1, '\0'), " | ");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir() + "\\app\\*.*").c_str(), &found);
    size_t files = 0;
    for (BOOL more = TRUE; more; more = FindNextFileA(search, &found)) {
        files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
    }
    FindClose(search);
    EXPECT_EQ(row.filesBeside, files);
}

const ReplaceCase kReplaceCases[] = {
    {"FreeTargetReplacedAtOnce", "", "update\\new.dll", 0,
     "replaced at once: {dir}\\app\\target.dll\r\n", "version 2", false, 1},
    {"TargetInUseReplacedAtRestart", "app\\target.dll", "update\\new.dll", 0,
     "replaced at restart: {dir}\\app\\target.dll is in use; the new version waits beside it as "
     "{dir}\\app\\new",
     "version 1", true, 2},
    {"NewVersionMissingTargetUntouched", "", "update\\missing.dll", 2,
     "pendreg-record: {dir}\\update\\missing.dll: not found", "version 1", false, 1},
    {"NewVersionUnreadableNoCopyLeft", "update\\new.dll", "update\\new.dll", 2,
     "pendreg-record: {dir}\\update\\new.dll: cannot be copied to {dir}\\app\\new", "version 1",
     false, 1},
    {"TargetFolderOrdinaryUsersMayChangeNothingStaged", "", "update\\new.dll", 2,
     "pendreg-record: {dir}\\app\\target.dll: ordinary users may change the folder {dir}\\app of "
     "the file: Everyone may add files to it",
     "version 1", false, 1, true},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderReplace, testing::ValuesIn(kReplaceCases),
                         [](const testing::TestParamInfo<ReplaceCase>& info) {
                             return std::string(info.param.name);
                         });

// What arm gives the copy's folder: full control for SYSTEM and
// Administrators, read and run for Users, nothing inherited from Temp. Wine
// keeps only what maps to Unix permission bits: SYSTEM and the owner, the
// running account, keep full control, and nobody else gets anything.
std::string CopyFolderAccess() {
    if (harness::RunningUnderWine()) {
        return "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + harness::RunningAccount() + ")";
    }
    return "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
}

// Arming twice leaves one RunOnce value, which starts a copy of the tool with
// "/S"; the second run says so and does nothing. "add" then names that copy
// in its command lines: it is the copy that will run the pass.
TEST_F(RecorderTest, ArmsOnceAndAddNamesTheArmedCopy) {
    harness::RunOnceGuard armed("pendreg record test");
    harness::TempCopiesGuard copies;
    Output first = Record("arm --name=\"pendreg record test\" --tool=\"{tool}\"");
    Output second = Record("arm --name=\"pendreg record test\" --tool=\"{tool}\"");
    Output added = Record("add --view=64 --work-set=w --kind=D {dir}\\a.dll");

    std::string copy = Quoted(first.text, "starts \"");
    EXPECT_EQ(0u, first.text.find("armed: the RunOnce value \"pendreg record test\" in HKLM\\" +
                                  std::string(kRunOnce) + " starts \"" + copy +
                                  "\" /S at the "
                                  "next logon"))
        << first.text;
    std::string runOnce = harness::DumpKey(HKEY_LOCAL_MACHINE, kRunOnce, KEY_WOW64_64KEY);
    EXPECT_EQ(runOnce.find(copy), runOnce.rfind(copy)) << "more than one value:\n" << runOnce;
    // The view that the system's start-up reads, whichever bitness the
    // recorder has.
    EXPECT_TRUE(harness::RunOnceValueExists("pendreg record test", KEY_WOW64_64KEY) &&
                !harness::RunOnceValueExists("pendreg record test", KEY_WOW64_32KEY))
        << "not in the 64-bit view alone:\n"
        << runOnce << harness::DumpKey(HKEY_LOCAL_MACHINE, kRunOnce, KEY_WOW64_32KEY);
    EXPECT_EQ(harness::ReadFile(tool_), harness::ReadFile(copy));
    EXPECT_EQ(CopyFolderAccess(), harness::AccessOf(SE_FILE_OBJECT, harness::FolderOf(copy)));
    EXPECT_EQ("already armed: the RunOnce value \"pendreg record test\" starts \"" + copy +
                  "\" /S; nothing done\r\n",
              second.text);
    EXPECT_TRUE(added.Has("tool: " + copy +
                          " (the copy that the RunOnce value \"pendreg record test\" starts)"))
        << added.text;
    EXPECT_TRUE(added.Has("  entry 1 (D): runs \"" + copy + "\" /D" + dir() + "\\a.dll"))
        << added.text;
}

// A RunOnce value that names the copy by its short path starts the same copy:
// arm finds it armed and makes no second one.
TEST_F(RecorderTest, CopyNamedByItsShortPathIsArmedAlready) {
    harness::RunOnceGuard armed("pendreg record test");
    harness::TempCopiesGuard copies;
    Output first = Record("arm --name=\"pendreg record test\" --tool=\"{tool}\"");
    std::string copy = Quoted(first.text, "starts \"");
    char shortCopy[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameA(copy.c_str(), shortCopy, MAX_PATH)) << first.text;
    ASSERT_NE(copy, shortCopy);
    ASSERT_TRUE(harness::SetRunOnce("pendreg record test", std::string(shortCopy) + " /S"));

    Output second = Record("arm --name=\"pendreg record test\" --tool=\"{tool}\"");

    EXPECT_EQ(0u, second.text.find("already armed: the RunOnce value \"pendreg record test\""))
        << second.text;
}

struct DiscardCase {
    const char* name;
    // The pending key's values go in a work set named "".
    std::vector<WorkSet> before;
    std::vector<WorkSet> after;
};

void PrintTo(const DiscardCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderDiscard : public RecorderTest, public testing::WithParamInterface<DiscardCase> {};

// discard takes away its work set and nothing else: the key goes with its
// last work set, as after a pass, unless it holds anything of anybody's.
TEST_P(RecorderDiscard, RemovesItsWorkSetAndNothingElse) {
    const DiscardCase& row = GetParam();
    ASSERT_TRUE(harness::RecordWorkSets(row.after, dir(), KEY_WOW64_64KEY));
    std::string wanted = RegistryState();
    harness::RemovePendingKey();
    ASSERT_TRUE(harness::RecordWorkSets(row.before, dir(), KEY_WOW64_64KEY));

    Output run = Record("discard --view=64 --work-set=w");

    EXPECT_EQ("discarded: work set \"w\" in HKLM\\Software\\Zelk.Library.Cormant.v3 (64-bit "
              "view)\r\n",
              run.text);
    EXPECT_EQ(wanted, RegistryState());
}

const DiscardCase kDiscardCases[] = {
    {"OtherWorkSetsStay",
     {{"w", Entries({{"D", "a.dll"}})}, {"other", Entries({{"D", "b.dll"}})}},
     {{"other", Entries({{"D", "b.dll"}})}}},
    {"KeyWithAnotherInstallersValueStays",
     {{"w", Entries({{"D", "a.dll"}})}, {"", {Sz("owner", "another installer")}}},
     {{"", {Sz("owner", "another installer")}}}},
    {"KeyGoesWithTheLastWorkSet", {{"w", Entries({{"D", "a.dll"}})}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderDiscard, testing::ValuesIn(kDiscardCases),
                         [](const testing::TestParamInfo<DiscardCase>& info) {
                             return std::string(info.param.name);
                         });

// The RunOnce value that the undo rows arm, as a product would name it.
const char kProductArm[] = "pendreg undo test";

// Another product's RunOnce value, which a row may point at the copy.
const char kOtherArm[] = "pendreg undo test, another product";

struct UndoCase {
    const char* name;
    std::vector<WorkSet> before;
    // arm --name="pendreg undo test" for this product (--work-set; "" for
    // none) first; null: not armed.
    const char* armedFor;
    // Then, before the commands: "value gone" (the restart ran it), "short
    // value" (another product's value starts the copy by its short path),
    // "swapped" (the copy is another file now), "linked" (the copy's folder
    // moved away, and a link to another product's folder in its place),
    // "strangers" (folders under Temp named as arm names its own, which arm
    // did not make, and a link named so to another product's folder).
    const char* meanwhile;
    // Run in order, each ending with 0; the last one's output is judged.
    std::vector<const char*> commands;
    const char* line; // the first line printed
    bool valueStays;
    bool copyStays;
    std::vector<std::string> after; // the work sets left
};

void PrintTo(const UndoCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderUndo : public RecorderTest, public testing::WithParamInterface<UndoCase> {
  protected:
    // Folders that arm did not make, named as it names its own: one holds
    // a copy of the tool and a folder of its own, one a file of notes.
    std::vector<std::string> MakeStrangers() {
        char windows[MAX_PATH];
        std::string temp =
            std::string(windows, GetWindowsDirectoryA(windows, MAX_PATH)) + "\\Temp\\";
        std::vector<std::string> files = {temp + "pendreg-1a2b3c4d\\pendreg.exe",
                                          temp + "pendreg-1a2b3c4d\\inner\\kept.txt",
                                          temp + "pendreg-notes\\notes.txt"};
        for (const std::string& file : files) {
            CreateDirectoryA(harness::FolderOf(harness::FolderOf(file)).c_str(), nullptr);
            CreateDirectoryA(harness::FolderOf(file).c_str(), nullptr);
            harness::WriteWholeFile(file, "not the recorder's");
            strangers_.push_back(harness::FolderOf(file));
        }
        std::vector<std::string> others = OtherProductsFolder();
        link_.reset(new harness::Link(temp + "pendreg-link", harness::FolderOf(others[0]), true));
        EXPECT_TRUE(link_->made());
        files.insert(files.end(), others.begin(), others.end());
        return files;
    }
    // Another product's folder, with its files: what a link points at.
    std::vector<std::string> OtherProductsFolder() {
        return {scratch_.Write("other product\\pendreg.exe", "not the recorder's"),
                scratch_.Write("other product\\settings.ini", "not the recorder's")};
    }
    // The copy's folder moved away, and a link to another product's folder
    // in its place.
    std::vector<std::string> LinkInPlaceOf(const std::string& folder) {
        movedAway_ = folder + "-moved";
        EXPECT_TRUE(MoveFileA(folder.c_str(), movedAway_.c_str()));
        std::vector<std::string> others = OtherProductsFolder();
        link_.reset(new harness::Link(folder, harness::FolderOf(others[0]), true));
        EXPECT_TRUE(link_->made());
        return others;
    }
    void TearDown() override {
        link_.reset();
        for (const std::string& folder : strangers_) {
            harness::RemoveFolder(folder);
        }
        if (!movedAway_.empty()) {
            harness::RemoveFolder(movedAway_);
        }
        RecorderTest::TearDown();
    }
    std::vector<std::string> strangers_;
    std::unique_ptr<harness::Link> link_;
    std::string movedAway_;
};

// discard succeeds whether or not its work set is there; it takes back the
// armings that the recorder made once nothing needs them (no product relies
// on them, and no work set is left for the pass), and only what is still
// what arm made: never a folder it did not make, a copy that another value
// starts, or a file put in the copy's place.
TEST_P(RecorderUndo, DiscardsWhatIsThereAndTheArmingWithTheLast) {
    const UndoCase& row = GetParam();
    harness::RunOnceGuard armed(kProductArm);
    harness::RunOnceGuard other(kOtherArm);
    harness::TempCopiesGuard copies;
    ASSERT_TRUE(harness::RecordWorkSets(row.before, dir(), KEY_WOW64_64KEY));
    std::string copy;
    if (row.armedFor != nullptr) {
        Output arm =
            Record(std::string("arm --name=\"") + kProductArm + "\" --tool=\"{tool}\"" +
                   (*row.armedFor == '\0' ? "" : std::string(" --work-set=") + row.armedFor));
        ASSERT_EQ(0u, arm.exitCode) << arm.text;
        copy = Quoted(arm.text, "starts \"");
    }
    std::string meanwhile = row.meanwhile;
    std::vector<std::string> strangers;
    if (meanwhile == "value gone") {
        harness::DeleteRunOnce(kProductArm);
    } else if (meanwhile == "short value") {
        char shortCopy[MAX_PATH] = {};
        ASSERT_NE(0u, GetShortPathNameA(copy.c_str(), shortCopy, MAX_PATH));
        ASSERT_TRUE(harness::SetRunOnce(kOtherArm, std::string("\"") + shortCopy + "\" /S"));
    } else if (meanwhile == "swapped") {
        // Written first and moved into place: a file made after the copy was
        // deleted could get its number again under Wine, whose file indexes
        // are Unix inode numbers (NTFS never gives one again at once).
        harness::WriteWholeFile(dir() + "\\since.exe", "put there since");
        ASSERT_TRUE(MoveFileExA((dir() + "\\since.exe").c_str(), copy.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
    } else if (meanwhile == "strangers") {
        strangers = MakeStrangers();
    } else if (meanwhile == "linked") {
        strangers = LinkInPlaceOf(harness::FolderOf(copy));
    }

    Output run;
    for (const char* command : row.commands) {
        run = Record(command);
        ASSERT_EQ(0u, run.exitCode) << command << "\n" << run.text;
    }

    EXPECT_EQ(0u, run.text.find(Expand(row.line))) << run.text;
    EXPECT_EQ(row.after, harness::RecordedWorkSets());
    EXPECT_EQ(row.valueStays, harness::RunOnceValueExists(kProductArm, KEY_WOW64_64KEY));
    if (row.armedFor != nullptr) {
        EXPECT_EQ(row.copyStays, harness::FileExists(copy)) << run.text;
        EXPECT_EQ(row.copyStays, harness::FileExists(harness::FolderOf(copy))) << run.text;
    }
    for (const std::string& file : strangers) {
        EXPECT_EQ("not the recorder's", harness::ReadFile(file)) << run.text;
    }
    if (meanwhile == "linked") {
        EXPECT_TRUE(run.Has("left: " + harness::FolderOf(copy) +
                            ": it is no longer the folder of the tool's copy that arm made"))
            << run.text;
    }
    if (meanwhile == "swapped") {
        EXPECT_EQ("put there since", harness::ReadFile(copy));
        EXPECT_TRUE(run.Has("left: " + copy +
                            ": it is no longer the copy of the tool that arm "
                            "made"))
            << run.text;
    }
    if (row.after.empty() && !row.valueStays && meanwhile != "swapped" &&
        meanwhile != "short value" && meanwhile != "linked") {
        EXPECT_FALSE(
            harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kProductRecordKey, KEY_WOW64_64KEY))
            << "the record stays when nothing is left to undo";
    }
}

const char kDiscardW[] = "discard --view=64 --work-set=w";
const char kDiscardOther[] = "discard --view=64 --work-set=other";
const char kOtherRelies[] = "arm --work-set=other --tool=\"{tool}\"";

const UndoCase kUndoCases[] = {
    // An uninstall after the restart: the pass has deleted the work set.
    {"DiscardOfNothingRecordedIsDone",
     {{"other", Entries({{"D", "a.dll"}})}},
     nullptr,
     "",
     {"discard --view=64 --work-set=gone"},
     "nothing recorded for \"gone\" in HKLM\\Software\\Zelk.Library.Cormant.v3 (64-bit view)\r\n",
     false,
     false,
     {"other"}},
    // Armed by an installer that names no product: the last work set takes
    // it along, as it always did.
    {"LastWorkSetTakesTheArmingAlong",
     {{"w", Entries({{"D", "a.dll"}})}},
     "",
     "",
     {"discard --view=64 --work-set=w --name=\"pendreg undo test\""},
     "discarded: work set \"w\"",
     false,
     false,
     {}},
    {"ArmingStaysForAnotherWorkSet",
     {{"w", Entries({{"D", "a.dll"}})}, {"other", Entries({{"D", "b.dll"}})}},
     "",
     "",
     {kDiscardW},
     "discarded: work set \"w\"",
     true,
     true,
     {"other"}},
    {"AnotherProductsArmingStays",
     {{"w", Entries({{"D", "a.dll"}})}},
     "other",
     "",
     {kDiscardW},
     "discarded: work set \"w\"",
     true,
     true,
     {}},
    // Two products, both removed before the restart, in either order: the
    // arming goes with the last of them, whichever made it.
    {"ArmingGoesWithTheLastProductWhenItsMakerGoesFirst",
     {{"w", Entries({{"D", "a.dll"}})}, {"other", Entries({{"D", "b.dll"}})}},
     "w",
     "",
     {kOtherRelies, kDiscardW, kDiscardOther},
     "discarded: work set \"other\"",
     false,
     false,
     {}},
    {"ArmingGoesWithTheLastProductWhenItsMakerGoesLast",
     {{"w", Entries({{"D", "a.dll"}})}, {"other", Entries({{"D", "b.dll"}})}},
     "w",
     "",
     {kOtherRelies, kDiscardOther, kDiscardW},
     "discarded: work set \"w\"",
     false,
     false,
     {}},
    // A major upgrade that removes the old version after installing the
    // new one, each version its own product: the new version's work set,
    // and the arming it relies on, stay for the restart.
    {"OldVersionRemovedAfterTheNewOneInstalled",
     {{"v1", Entries({{"D", "a.dll"}})}, {"v2", Entries({{"D", "a.dll"}})}},
     "v1",
     "",
     {"arm --work-set=v2 --tool=\"{tool}\"", "discard --view=64 --work-set=v1"},
     "discarded: work set \"v1\"",
     true,
     true,
     {"v2"}},
    // After the restart the pass is gone, and its copy waits for the next
    // one; the uninstall takes it and its folder now.
    {"CopyThatNothingStartsGoesWithTheUninstall",
     {},
     "w",
     "value gone",
     {kDiscardW},
     "nothing recorded for \"w\"",
     false,
     false,
     {}},
    // Another product's value starts the same copy by its short name: the
    // copy is that product's too now, and stays.
    {"CopyAnotherValueStartsByItsShortNameStays",
     {{"w", Entries({{"D", "a.dll"}})}},
     "w",
     "short value",
     {kDiscardW},
     "discarded: work set \"w\"",
     false,
     true,
     {}},
    {"FilePutInTheCopysPlaceStays",
     {{"w", Entries({{"D", "a.dll"}})}},
     "w",
     "swapped",
     {kDiscardW},
     "discarded: work set \"w\"",
     false,
     true,
     {}},
    // A link put in place of the copy's folder: nothing is deleted through
    // it, and it stays.
    {"LinkInPlaceOfTheCopysFolderStays",
     {{"w", Entries({{"D", "a.dll"}})}},
     "w",
     "linked",
     {kDiscardW},
     "discarded: work set \"w\"",
     false,
     true,
     {}},
    // Folders named as arm names its own, which it did not make, keep
    // everything in them, and so does a folder a link so named points at.
    {"FoldersArmDidNotMakeStay",
     {{"w", Entries({{"D", "a.dll"}})}},
     "w",
     "strangers",
     {kDiscardW},
     "discarded: work set \"w\"",
     false,
     false,
     {}},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderUndo, testing::ValuesIn(kUndoCases),
                         [](const testing::TestParamInfo<UndoCase>& info) {
                             return std::string(info.param.name);
                         });

// What the undo rows register for real: class keys named after the servers'
// files (tests/fixtures/ClassKey.h), and the sample type library's version.
const char* const kRegisteredFiles[] = {"c1.dll", "c2.dll", "c3.dll", "srv.exe", "sample.tlb"};
const char kSampleLibVersion[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}\\1.0";

std::string RegisteredKey(const std::string& file) {
    if (file == "sample.tlb") {
        return kSampleLibVersion;
    }
    char path[MAX_PATH];
    ClassKeyPath(file.c_str(), path, sizeof(path));
    return path;
}

// The keys that the undo rows' servers and library register, gone when the
// guard is made and when it goes.
class RegisteredKeysGuard {
  public:
    RegisteredKeysGuard() {
        Remove();
    }
    ~RegisteredKeysGuard() {
        Remove();
    }
    RegisteredKeysGuard(const RegisteredKeysGuard&) = delete;
    RegisteredKeysGuard& operator=(const RegisteredKeysGuard&) = delete;

  private:
    static void Remove() {
        for (const char* file : kRegisteredFiles) {
            std::string key = RegisteredKey(file);
            harness::DeleteTree(HKEY_CLASSES_ROOT, key);
            if (key == kSampleLibVersion) {
                harness::DeleteTree(HKEY_CLASSES_ROOT, harness::FolderOf(key));
            }
        }
    }
};

struct UnregisterCase {
    const char* name;
    // Recorder runs, each of which must succeed; "{add64}" as above.
    std::vector<std::string> adds;
    // What registers them: "{pass}", the pass of the test build's tool, or
    // a command line; "" for nothing (no restart yet).
    const char* registration;
    std::vector<std::string> lines; // what unregister prints, exactly
    std::vector<std::string> gone;  // registered, then unregistered
    std::vector<std::string> kept;  // registered, and still
    bool notedAfter = false;        // the product's entries are still noted
    // The process in which the first DllUnregisterServer ran; "" for none.
    const char* unregisteredIn = "";
    int bits = 64;
    // A file deleted after the registration, before unregister.
    const char* deletedBefore = "";
    // An entry noted for the product as another recorder would note it,
    // in the view of bits; "" for none.
    harness::Entry noted = {"", ""};
};

void PrintTo(const UnregisterCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderUnregister : public RecorderTest, public testing::WithParamInterface<UnregisterCase> {
  protected:
    void SetUp() override {
        RecorderTest::SetUp();
        for (const char* name : {"c1.dll", "c2.dll", "c3.dll"}) {
            scratch_.Copy(harness::FixturePath("classserver.dll"), name);
        }
        scratch_.Copy(harness::FixturePath("classserverexe.exe"), "srv.exe");
    }
    // "{sys}": the system folder; "{recorder}": the recorder.
    std::string Expanded(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{sys}", harness::SystemDirectory());
        return Expand(harness::ReplaceAll(expanded, "{recorder}", harness::RecorderPath()));
    }
    // Notes the entry under the product's record as its layout says.
    bool Note(const std::string& product, int bits, const harness::Entry& entry) {
        std::string path = std::string(harness::kProductRecordKey) + "\\Products\\" + product +
                           (bits == 64 ? "\\Entries64" : "\\Entries32");
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != 0) {
            return false;
        }
        LONG status = 0;
        for (const Value& value : harness::Entries({entry})) {
            std::string bytes = Expand(value.bytes);
            status |= RegSetValueExA(key, value.name.c_str(), 0, value.type,
                                     reinterpret_cast<const BYTE*>(bytes.data()),
                                     static_cast<DWORD>(bytes.size()));
        }
        RegCloseKey(key);
        return status == 0;
    }

    RegisteredKeysGuard registeredKeys_;
};

// unregister takes back what the pass registered, each file as the pass
// registered it, last first; before the restart nothing, and the notes
// stay; a file another product records stays registered; one that cannot
// be taken back is said, and the others still go.
TEST_P(RecorderUnregister, TakesBackWhatThePassRegistered) {
    const UnregisterCase& row = GetParam();
    for (const std::string& add : row.adds) {
        Output added =
            Record(harness::ReplaceAll(add, "{add64}", "add --tool=\"{self}\" --view=64"));
        ASSERT_EQ(0u, added.exitCode) << added.text;
    }
    if (*row.noted.mode != '\0') {
        ASSERT_TRUE(Note("w", row.bits, row.noted));
    }
    if (*row.registration != '\0') {
        std::string command = harness::ReplaceAll(row.registration, "{pass}", "\"{self}\" /S");
        ASSERT_TRUE(harness::Run(Expanded(command), nullptr, dir().c_str()).finished);
        // A command line stands in for the pass, which deletes what it ran.
        harness::RemovePendingKey();
    }
    for (const std::string& file : row.gone) {
        ASSERT_EQ(*row.registration != '\0',
                  harness::KeyExists(HKEY_CLASSES_ROOT, RegisteredKey(file)))
            << file << ":\n"
            << log_.Text();
    }
    for (const std::string& file : row.kept) {
        ASSERT_TRUE(harness::KeyExists(HKEY_CLASSES_ROOT, RegisteredKey(file))) << file;
    }
    if (*row.deletedBefore != '\0') {
        harness::RemoveFile(dir() + "\\" + row.deletedBefore);
    }

    Output run = Record("unregister --view=" + std::to_string(row.bits) + " --work-set=w");

    EXPECT_EQ(0u, run.exitCode) << run.text;
    std::vector<std::string> lines;
    for (const std::string& line : row.lines) {
        lines.push_back(Expanded(line));
    }
    EXPECT_EQ(lines, run.lines);
    for (const std::string& file : row.gone) {
        EXPECT_FALSE(harness::KeyExists(HKEY_CLASSES_ROOT, RegisteredKey(file))) << file;
    }
    for (const std::string& file : row.kept) {
        EXPECT_TRUE(harness::KeyExists(HKEY_CLASSES_ROOT, RegisteredKey(file))) << file;
    }
    std::string entries = std::string(harness::kProductRecordKey) + "\\Products\\w\\Entries" +
                          std::to_string(row.bits);
    EXPECT_EQ(row.notedAfter, harness::KeyExists(HKEY_LOCAL_MACHINE, entries, KEY_WOW64_64KEY));
    std::vector<harness::Record> unregistrations;
    for (const harness::Record& record : log_.Read()) {
        if (record.event == "unregister") {
            unregistrations.push_back(record);
        }
    }
    if (*row.unregisteredIn == '\0') {
        EXPECT_TRUE(unregistrations.empty()) << log_.Text();
        return;
    }
    ASSERT_FALSE(unregistrations.empty()) << log_.Text();
    const harness::Record& first = unregistrations.front();
    std::string process = Expanded(row.unregisteredIn);
    EXPECT_EQ(harness::Lower(process), harness::Lower(first.field("process")));
    // The recorder's own copy: inside OleInitialize, and no message boxes
    // (the critical-error and fault boxes are off).
    if (process == harness::RecorderPath()) {
        EXPECT_EQ("1", first.field("ole")) << log_.Text();
        EXPECT_EQ(3u, std::stoul(first.field("errmode"), nullptr, 16) & 3u) << log_.Text();
    }
}

const char kSaidBeforeTheRestart[] =
    "nothing unregistered for \"w\": its work set in HKLM\\Software\\Zelk.Library.Cormant.v3 "
    "(64-bit view) still waits for the pass, which has registered none of it";

const UnregisterCase kUnregisterCases[] = {
    {"EachKindTakenBackLastFirst",
     {"{add64} --work-set=w {dir}\\c1.dll {dir}\\srv.exe {dir}\\sample.tlb"},
     "{pass}",
     {"unregistered (T): {dir}\\sample.tlb", "unregistered (E): {dir}\\srv.exe",
      "unregistered (D): {dir}\\c1.dll"},
     {"c1.dll", "srv.exe", "sample.tlb"},
     {},
     false,
     "{recorder}"},
    {"MarkedDllByThe64BitRegsvr32",
     {"{add64} --work-set=w --kind=DX {dir}\\c1.dll"},
     "{pass}",
     {"unregistered (DX): {dir}\\c1.dll"},
     {"c1.dll"},
     {},
     false,
     "{sys}\\regsvr32.exe"},
    // The 32-bit tool's DX: a 64-bit DLL recorded in the 32-bit view, which
    // the 64-bit regsvr32.exe registered.
    {"SixtyFourBitDllOfThe32BitToolByThe64BitRegsvr32",
     {"add --tool=\"{self}\" --work-set=w {dir}\\c1.dll"},
     "\"{sys}\\regsvr32.exe\" /s \"{dir}\\c1.dll\"",
     {"unregistered (DX): {dir}\\c1.dll"},
     {"c1.dll"},
     {},
     false,
     "{sys}\\regsvr32.exe",
     32},
    // regsvr32.exe registers no type library, nor takes one back: the
    // library that the tool's child registered stays, as the pass would
    // have left it unregistered.
    {"MarkedTypeLibraryGoesToRegsvr32AsInThePass",
     {},
     "\"{self}\" /T{dir}\\sample.tlb",
     {"not unregistered (TX): {dir}\\sample.tlb: regsvr32.exe /u ended with exit code 3"},
     {},
     {"sample.tlb"},
     false,
     "",
     64,
     "",
     {"TX", "sample.tlb"}},
    {"BeforeTheRestartNothingAndTheNotesStay",
     {"{add64} --work-set=w {dir}\\c1.dll {dir}\\srv.exe"},
     "",
     {kSaidBeforeTheRestart},
     {"c1.dll", "srv.exe"},
     {},
     true},
    {"FileAnotherProductRecordsStaysRegistered",
     {"{add64} --work-set=w {dir}\\c1.dll {dir}\\c2.dll", "{add64} --work-set=other {dir}\\C2.DLL"},
     "{pass}",
     {"left registered (D): {dir}\\c2.dll: another product's record names it",
      "unregistered (D): {dir}\\c1.dll"},
     {"c1.dll"},
     {"c2.dll"},
     false,
     "{recorder}"},
    {"FailuresSaidAndTheOthersStillTakenBack",
     {"{add64} --work-set=w {dir}\\c1.dll {dir}\\a.dll {dir}\\c3.dll {dir}\\c2.dll"},
     "{pass}",
     {"unregistered (D): {dir}\\c2.dll",
      "not unregistered (D): {dir}\\c3.dll: it is not there any more",
      "not unregistered (D): {dir}\\a.dll: it does not export DllUnregisterServer",
      "unregistered (D): {dir}\\c1.dll"},
     {"c1.dll", "c2.dll"},
     {"c3.dll"},
     false,
     "{recorder}",
     64,
     "c3.dll"},
    {"NothingNotedIsDone",
     {},
     "",
     {"nothing registered for \"w\" in HKLM\\Software\\Zelk.Library.Cormant.v3 (64-bit view): no "
      "entries are noted for it"},
     {},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderUnregister, testing::ValuesIn(kUnregisterCases),
                         [](const testing::TestParamInfo<UnregisterCase>& info) {
                             return std::string(info.param.name);
                         });

struct WithdrawCase {
    const char* name;
    int replaces; // replace runs while the target is in use
    // A move onto the target from a file that replace did not stage, under
    // the scratch folder; null: none. One beside the target stays there.
    const char* foreignMove;
    // Named as a killed replace leaves its partial copy and the staged name
    // it held, but not made by replace.
    bool leftovers;
    const char* line; // the first line printed
    const char* fate; // what the restart does to the target afterwards
    // How replace and withdraw write the target: "long" or "short" (8.3).
    const char* replaceSpelling = "long";
    const char* withdrawSpelling = "long";
    // Another product's replace of the same target, first, which stays.
    bool otherProduct = false;
};

void PrintTo(const WithdrawCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderWithdraw : public RecorderTest, public testing::WithParamInterface<WithdrawCase> {};

// withdraw takes back every new version that replace left waiting for the
// target, and nothing else: the target stays as it is, nothing is left
// beside it, and the moves of others stay.
TEST_P(RecorderWithdraw, TakesBackWhatReplaceStaged) {
    const WithdrawCase& row = GetParam();
    std::string target = scratch_.Write("app\\target.dll", "version 1");
    scratch_.Write("update\\new.dll", "version 2");
    std::set<std::string> expectedBeside = {"target.dll"};
    if (row.foreignMove != nullptr) {
        std::string other = scratch_.Write(row.foreignMove, "another installer's");
        if (harness::FolderOf(other) == harness::FolderOf(target)) {
            expectedBeside.insert(other.substr(other.rfind('\\') + 1));
        }
        ASSERT_TRUE(MoveFileExA(other.c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    }
    if (row.leftovers) {
        scratch_.Write("app\\~pendreg-partial-new7F3A.tmp", "version");
        scratch_.Write("app\\new7F3A.tmp", "");
        expectedBeside.insert({"~pendreg-partial-new7F3A.tmp", "new7F3A.tmp"});
    }
    char shortTarget[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameA(target.c_str(), shortTarget, MAX_PATH));
    auto spelt = [&](const std::string& spelling) {
        return spelling == "short" ? std::string(shortTarget) : target;
    };
    HANDLE held = CreateFileA(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (row.otherProduct) {
        Output replaced = Record("replace --work-set=other {dir}\\update\\new.dll " + target);
        ASSERT_EQ(0u, replaced.text.find("replaced at restart")) << replaced.text;
        std::string staged = Quoted(replaced.text + "\"", "waits beside it as ");
        expectedBeside.insert(
            staged.substr(staged.rfind('\\') + 1, staged.find('\r') - staged.rfind('\\') - 1));
    }
    for (int run = 0; run < row.replaces; ++run) {
        Output replaced = Record("replace {dir}\\update\\new.dll " + spelt(row.replaceSpelling));
        ASSERT_EQ(0u, replaced.text.find("replaced at restart")) << replaced.text;
    }
    CloseHandle(held);

    Output run = Record("withdraw " + spelt(row.withdrawSpelling));

    EXPECT_EQ(0u, run.exitCode) << run.text;
    EXPECT_EQ(0u, run.text.find(Expand(row.line))) << run.text;
    EXPECT_EQ(row.fate, harness::FateAtRestart(target))
        << harness::ReplaceAll(Renames(), std::string(1, '\0'), " | ");
    EXPECT_EQ("version 1", harness::ReadFile(target));
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir() + "\\app\\*.*").c_str(), &found);
    std::set<std::string> beside;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            beside.insert(found.cFileName);
        }
    }
    FindClose(search);
    EXPECT_EQ(expectedBeside, beside);
}

const WithdrawCase kWithdrawCases[] = {
    {"StagedNewVersionWithdrawn", 1, nullptr, false, "withdrawn: {dir}\\app\\new", ""},
    {"EveryStagedVersionWithdrawn", 2, nullptr, false, "withdrawn: {dir}\\app\\new", ""},
    {"AnotherInstallersMoveStays", 1, "other\\target.dll", false, "withdrawn: {dir}\\app\\new",
     "replaced"},
    // Named as replace names its copies, but in another folder: not one of
    // them.
    {"AnotherInstallersLookalikeStays", 1, "other\\new1A2B.tmp", false,
     "withdrawn: {dir}\\app\\new", "replaced"},
    // Beside the target, but not under a name replace gives.
    {"AnotherInstallersCopyBesideStays", 1, "app\\target.dll.upd", false,
     "withdrawn: {dir}\\app\\new", "replaced"},
    {"NothingWaitingIsDone", 0, nullptr, false,
     "nothing waits to replace {dir}\\app\\target.dll at restart\r\n", ""},
    // Another installer's own copy beside the target, named as replace
    // names its copies.
    {"AnotherInstallersStagedLookalikeBesideStays", 1, "app\\newcomp.tmp", false,
     "withdrawn: {dir}\\app\\new", "replaced"},
    // Only replace's own: named as a killed replace names what it leaves,
    // but never made by it.
    {"LookalikesOfLeftoversStay", 0, nullptr, true,
     "nothing waits to replace {dir}\\app\\target.dll at restart\r\n", ""},
    {"TargetWrittenShortWhenStaged", 1, nullptr, false, "withdrawn: ", "", "short", "long"},
    {"TargetWrittenShortWhenWithdrawn", 1, nullptr, false, "withdrawn: {dir}\\app\\new", "", "long",
     "short"},
    {"TargetWrittenShortBothTimes", 1, nullptr, false, "withdrawn: ", "", "short", "short"},
    // The same shared file staged by another product: its new version
    // still arrives.
    {"AnotherProductsStagedVersionStays", 1, nullptr, false, "withdrawn: {dir}\\app\\new",
     "replaced", "long", "long", true},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderWithdraw, testing::ValuesIn(kWithdrawCases),
                         [](const testing::TestParamInfo<WithdrawCase>& info) {
                             return std::string(info.param.name);
                         });

// A replace killed while it copies leaves no part of the new version: the
// partial copy, marked to be deleted when closed, goes with the process,
// and nothing lies under the staged name; the next replace stages its own.
TEST_F(RecorderTest, KilledReplaceLeavesNothingTheNextOneKeeps) {
    std::string target = scratch_.Write("app\\target.dll", "version 1");
    std::string large = dir() + "\\update\\large.dll";
    scratch_.Write("update\\large.dll", "");
    HANDLE file = CreateFileA(large.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 512ll << 20;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    std::wstring line = L"\"" + Widen(harness::RecorderPath()) + L"\" replace \"" + Widen(large) +
                        L"\" \"" + Widen(target) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &process));
    // Killed as soon as its copy is under way.
    std::string partial;
    for (int tries = 0; tries < 2000 && partial.empty(); ++tries) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((dir() + "\\app\\~pendreg-partial-*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            partial = found.cFileName;
            FindClose(search);
        } else {
            Sleep(5);
        }
    }
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, harness::kChildTimeoutMs);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    ASSERT_FALSE(partial.empty()) << "no partial copy was seen before the copy ended";
    std::string held = dir() + "\\app\\" + partial.substr(std::string("~pendreg-partial-").size());
    EXPECT_FALSE(harness::FileExists(dir() + "\\app\\" + partial))
        << "the partial copy outlived the replace that wrote it";
    EXPECT_FALSE(harness::FileExists(held)) << "something lies under the staged name";
    scratch_.Write("update\\new.dll", "version 2");

    Output replaced = Record("replace {dir}\\update\\new.dll " + target);

    EXPECT_EQ(0u, replaced.text.find("replaced at once: ")) << replaced.text;
    EXPECT_EQ("version 2", harness::ReadFile(target));
}

// --log appends, run after run, the command line, the time, every line
// printed (standard output and error alike) and the exit code, for the
// recorder and the inspector alike; the file is made so that only
// administrators may change it.
TEST_F(RecorderTest, LogsEveryRunForAnEngineWithoutAConsole) {
    std::string log = dir() + "\\logs\\engine.log";
    CreateDirectoryA((dir() + "\\logs").c_str(), nullptr);
    Output added = Record("add --log=\"" + log + "\" --view=64 --work-set=w --kind=D {dir}\\a.dll");
    Output refused = Record("add --view=64 --work-set=w {dir}\\noexport.dll --log=" + log);
    Output inspected = harness::RunCapturing(
        Widen("\"" + harness::InspectorPath() + "\" --view=64 --work-set=w --log=\"" + log + "\""),
        dir());

    std::string logged = harness::ReadFile(log);
    size_t at = 0;
    std::vector<std::pair<std::string, const Output*>> runs = {
        {"\" add --log=\"" + log + "\" --view=64", &added},
        {"\" add --view=64 --work-set=w " + dir() + "\\noexport.dll --log=" + log, &refused},
        {"\" --view=64 --work-set=w --log=\"" + log + "\"", &inspected}};
    for (const auto& run : runs) {
        size_t start = logged.find("--- ", at);
        size_t end = logged.find("\r\n", start);
        ASSERT_NE(std::string::npos, end) << logged;
        std::string first = logged.substr(start, end - start);
        // "--- YYYY-MM-DD hh:mm:ss " and the command line.
        EXPECT_EQ(' ', first[14]) << first;
        EXPECT_EQ(':', first[17]) << first;
        EXPECT_NE(std::string::npos, first.find(run.first)) << first;
        std::string said = run.second->text;
        EXPECT_EQ(said, logged.substr(end + 2, said.size())) << logged;
        std::string last = "--- exit code " + std::to_string(run.second->exitCode) + "\r\n";
        EXPECT_EQ(last, logged.substr(end + 2 + said.size(), last.size())) << logged;
        at = end + 2 + said.size() + last.size();
    }
    EXPECT_EQ(logged.size(), at);
    EXPECT_EQ(2u, refused.exitCode);
    if (!harness::RunningUnderWine()) {
        EXPECT_EQ("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)",
                  harness::AccessOf(SE_FILE_OBJECT, log));
    }
}

struct LogRefusedCase {
    const char* name;
    // "{dir}": the scratch folder; "{windows}": the Windows folder, where
    // the recorders' lock lies; "{copy}": the recorder's copy that runs.
    const char* log;
    // The file is there, with a line of an earlier run, and Everyone may
    // write to it.
    bool openToEveryone;
    const char* arguments;
    const char* why;  // what the refusal says after "refused"
    const char* done; // how the verb's first line begins
    bool inspector = false;
};

void PrintTo(const LogRefusedCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderLogRefused : public RecorderTest,
                           public testing::WithParamInterface<LogRefusedCase> {};

// A log that must not be written is refused in one line, at once, and left
// as it was; the verb is done all the same, and its exit code is its own.
TEST_P(RecorderLogRefused, LeavesTheFileAndDoesTheVerb) {
    const LogRefusedCase& row = GetParam();
    char windows[MAX_PATH] = {};
    ASSERT_NE(0u, GetWindowsDirectoryA(windows, MAX_PATH));
    std::string copy = scratch_.Copy(harness::RecorderPath(), "copy\\pendreg-record.exe");
    std::string log = harness::ReplaceAll(
        harness::ReplaceAll(Expand(row.log), "{windows}", windows), "{copy}", copy);
    if (row.openToEveryone) {
        scratch_.Write("logs\\engine.log", "--- an earlier run\r\n");
        ASSERT_TRUE(harness::GrantEveryone(SE_FILE_OBJECT, log, FILE_GENERIC_WRITE));
    }
    std::string before = harness::ReadFile(log);
    std::string program = row.inspector ? harness::InspectorPath()
                          : std::string(row.log).find("{copy}") != std::string::npos
                              ? copy
                              : harness::RecorderPath();
    std::wstring command = Widen("\"" + program + "\" " + Expand(row.arguments));
    Output unlogged = harness::RunCapturing(command, dir());
    harness::RemovePendingKey();

    Output run = harness::RunCapturing(command + Widen(" \"--log=" + log + "\""), dir());

    EXPECT_EQ(unlogged.exitCode, run.exitCode) << run.text;
    std::string refused = std::string(row.inspector ? "pendreg-inspect" : "pendreg-record") +
                          ": log " + log + ": refused";
    std::string refusal = refused + Expand(row.why);
    auto begins = [&](const std::string& text) {
        return [&](const std::string& line) { return line.compare(0, text.size(), text) == 0; };
    };
    auto said = std::find_if(run.lines.begin(), run.lines.end(), begins(refusal));
    ASSERT_NE(run.lines.end(), said) << refusal << " not in:\n" << run.text;
    EXPECT_NE(std::string::npos, said->find("; no log is written")) << run.text;
    EXPECT_EQ(1, std::count_if(run.lines.begin(), run.lines.end(), begins(refused))) << run.text;
    std::string done = Expand(row.done);
    EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), begins(done)))
        << done << " not in:\n"
        << run.text;
    EXPECT_EQ(before, harness::ReadFile(log)) << "the file was written";
    EXPECT_EQ(harness::ReadFile(harness::RecorderPath()), harness::ReadFile(copy));
}

const LogRefusedCase kLogRefusedCases[] = {
    {"FileThatEveryoneMayWrite", "{dir}\\logs\\engine.log", true,
     "add --view=64 --work-set=w --kind=D {dir}\\a.dll",
     ": ordinary users may change it: Everyone may", "tool: "},
    {"FileThatEveryoneMayWriteForTheInspector", "{dir}\\logs\\engine.log", true,
     "--view=64 --work-set=nothing", ": ordinary users may change it: Everyone may", "", true},
    // The recorder would wait for its turn behind its own log for minutes.
    {"RecordersLockSpeltOtherwise", "{windows}/./PENDREG-RECORD.LOCK", false,
     "withdraw {dir}\\app\\target.dll", ": it is ", "nothing waits to replace"},
    {"RunningRecorderItself", "{copy}.", false, "withdraw {dir}\\app\\target.dll",
     ": it is this program", "nothing waits to replace"},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderLogRefused, testing::ValuesIn(kLogRefusedCases),
                         [](const testing::TestParamInfo<LogRefusedCase>& info) {
                             return std::string(info.param.name);
                         });

// The descriptor that the checks read for every file, while a row runs.
std::vector<BYTE>& ServedLogDescriptor() {
    static std::vector<BYTE> descriptor;
    return descriptor;
}

DWORD ServeLogDescriptor(const std::wstring&, std::vector<BYTE>* descriptor) {
    *descriptor = ServedLogDescriptor();
    return ERROR_SUCCESS;
}

struct LogListCase {
    const char* name;
    // The list of the file that is there (SDDL), which Windows would keep
    // and Wine does not: served to the checks.
    const char* list;
    bool appended;
    const char* why; // part of the reason when not
};

void PrintTo(const LogListCase& row, std::ostream* out) {
    *out << row.name;
}

class OutputLogList : public testing::TestWithParam<LogListCase> {
  protected:
    void TearDown() override {
        SetFileSecurityReader(nullptr);
    }
    harness::ScratchFolder scratch_;
};

// A file that is there is appended to only when no one but the system and
// the administrators may change it, as its list says.
TEST_P(OutputLogList, AppendsOnlyToAFileOnlyAdministratorsMayChange) {
    const LogListCase& row = GetParam();
    std::string log = scratch_.Write("engine.log", "--- an earlier run\r\n");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(row.list, SDDL_REVISION_1,
                                                                     &descriptor, &size));
    const BYTE* bytes = static_cast<const BYTE*>(descriptor);
    ServedLogDescriptor().assign(bytes, bytes + size);
    LocalFree(descriptor);
    SetFileSecurityReader(ServeLogDescriptor);
    std::string error;

    bool opened = OpenOutputLog(Widen(log), {}, &error);
    CloseOutputLog(0);

    EXPECT_EQ(row.appended, opened) << error;
    EXPECT_NE(std::string::npos, error.find(row.why)) << error;
    std::string content = harness::ReadFile(log);
    EXPECT_EQ(row.appended, content.find("--- exit code 0") != std::string::npos) << content;
    EXPECT_EQ(0u, content.find("--- an earlier run\r\n")) << content;
}

const LogListCase kLogListCases[] = {
    {"OnlyAdministratorsMayChange", "O:BAG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", true, ""},
    {"UsersMayAppend", "O:BAG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120089;;;BU)(A;;0x4;;;BU)", false,
     "ordinary users may change it: Users may"},
    {"AuthenticatedUsersMayWrite", "O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FW;;;AU)", false,
     "ordinary users may change it"},
    {"OwnedByAUser", "O:S-1-5-21-1-2-3-1001G:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)", false,
     "ordinary users may change it"},
};

INSTANTIATE_TEST_SUITE_P(Recorder, OutputLogList, testing::ValuesIn(kLogListCases),
                         [](const testing::TestParamInfo<LogListCase>& info) {
                             return std::string(info.param.name);
                         });

// A file of two names: its other name lies in a folder nobody judged.
TEST(OutputLog, FileOfTwoNamesNotAppendedTo) {
    harness::ScratchFolder scratch;
    std::string log = scratch.Write("engine.log", "--- an earlier run\r\n");
    ASSERT_TRUE(CreateHardLinkA((scratch.path() + "\\other name").c_str(), log.c_str(), nullptr));
    std::string error;

    EXPECT_FALSE(OpenOutputLog(Widen(log), {}, &error));
    CloseOutputLog(0);

    EXPECT_NE(std::string::npos, error.find("other names")) << error;
    EXPECT_EQ("--- an earlier run\r\n", harness::ReadFile(log));
}

// The log's own list, which a new log is made with, lets a standard user's
// logon read it and nothing more. Wine keeps no list on files, so the list
// is judged as the platform would.
TEST(OutputLog, NewLogListLetsAStandardUserOnlyRead) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        kOutputLogList, SDDL_REVISION_1, &descriptor, nullptr))
        << "error " << GetLastError();
    GENERIC_MAPPING file = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_GENERIC_READ),
              RightsOfStandardUser(descriptor, nullptr, file));
    LocalFree(descriptor);
}

} // namespace

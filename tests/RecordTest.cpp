// The recorder: what it writes, the inspector reports clean and the pass runs
// exactly the command lines it printed; what it refuses, it refuses whole,
// leaving the registry byte for byte as it was; replace and arm.
#include "harness/Harness.h"
#include "harness/WorkSets.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using harness::Dword;
using harness::Entries;
using harness::Sz;
using harness::Value;
using harness::With;
using harness::WorkSet;

const char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
// Under code page 1252 neither the folder's nor the file's name can be held.
const wchar_t kUnicodeFile[] = L"\x03A9mega\\comp\x03A9nent.dll";

std::wstring ReplaceAll(std::wstring text, const std::wstring& token, const std::wstring& value) {
    for (size_t at = 0; (at = text.find(token, at)) != std::wstring::npos; at += value.size()) {
        text.replace(at, token.size(), value);
    }
    return text;
}

using harness::Output;
using harness::Widen;

// The command lines of the "entry N (MODE): runs ..." lines, in order.
std::vector<std::string> CommandLines(const Output& output) {
    std::vector<std::string> found;
    for (const std::string& line : output.lines) {
        size_t runs = line.find("): runs ");
        if (line.compare(0, 8, "  entry ") == 0 && runs != std::string::npos) {
            found.push_back(line.substr(runs + 8));
        }
    }
    return found;
}

// What the recorder may change, for the rows that must change nothing.
std::string RegistryState() {
    return harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_64KEY) +
           harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_32KEY) +
           harness::DumpKey(HKEY_LOCAL_MACHINE, kRunOnce, KEY_WOW64_64KEY);
}

// A work set's values by name: type, a space, then the bytes.
std::map<std::string, std::string> ValuesOf(const std::string& workSet, REGSAM view) {
    std::map<std::string, std::string> values;
    HKEY key;
    std::string path = std::string(harness::kPendingKey) + "\\" + workSet;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != 0) {
        return values;
    }
    char name[256];
    BYTE data[2048];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = sizeof(name);
        DWORD type = 0;
        DWORD size = sizeof(data);
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &size) != 0) {
            break;
        }
        values[name] =
            std::to_string(type) + " " + std::string(reinterpret_cast<const char*>(data), size);
    }
    RegCloseKey(key);
    return values;
}

// A scratch folder with a copy of the fixtures, the tool, and the test
// program standing in for the tool so that the pass's children record the
// line they were started with.
class RecorderTest : public testing::Test {
  protected:
    void SetUp() override {
        harness::RemovePendingKey();
        tool_ = scratch_.Copy(harness::ToolPath(), "tool\\pendreg.exe");
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "b.dll");
        scratch_.Copy(harness::FixturePath("recorder32.dll"), "rec32.dll");
        scratch_.Copy(harness::FixturePath("noexport.dll"), "noexport.dll");
        scratch_.Copy(harness::FixturePath("exeserver.exe"), "exeserver.exe");
        scratch_.Copy(harness::FixturePath("sample.tlb"), "sample.tlb");
        scratch_.Write("not a library.tlb", "plain text, no type library\r\n");
        std::wstring unicodeFile = Widen(dir()) + L"\\" + kUnicodeFile;
        CreateDirectoryW(unicodeFile.substr(0, unicodeFile.rfind(L'\\')).c_str(), nullptr);
        CopyFileW(Widen(harness::FixturePath("recorder.dll")).c_str(), unicodeFile.c_str(), FALSE);
        wchar_t shortPath[MAX_PATH] = {};
        GetShortPathNameW(unicodeFile.c_str(), shortPath, MAX_PATH);
        char ansiShort[MAX_PATH * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, shortPath, -1, ansiShort, sizeof(ansiShort), nullptr,
                            nullptr);
        shortPath_ = ansiShort;
    }
    void TearDown() override {
        harness::RemovePendingKey();
        // The scratch folder is removed through the ANSI functions, which
        // cannot name these.
        std::wstring unicodeFile = Widen(dir()) + L"\\" + kUnicodeFile;
        DeleteFileW(unicodeFile.c_str());
        RemoveDirectoryW(unicodeFile.substr(0, unicodeFile.rfind(L'\\')).c_str());
    }

    // A full path of the given length in the scratch folder.
    std::string PathOfLength(size_t length) const {
        return dir() + "\\" + std::string(length - dir().size() - 1, 'x');
    }
    // "{long}": a path whose "E" command line is 1024 bytes with its
    // terminator plus one; "{toolong}": a path of 1024 bytes.
    std::string Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{long}", PathOfLength(1011));
        expanded = harness::ReplaceAll(expanded, "{toolong}", PathOfLength(1024));
        expanded = harness::ReplaceAll(expanded, "{short}", shortPath_);
        expanded = harness::ReplaceAll(expanded, "{self}", self_);
        expanded = harness::ReplaceAll(expanded, "{tool}", tool_);
        expanded = harness::ReplaceAll(expanded, "{sys}", harness::SystemDirectory());
        return harness::ReplaceAll(expanded, "{dir}", dir());
    }
    // The recorder with the arguments, "{dir}" and the others expanded.
    Output Record(const std::wstring& arguments) const {
        std::wstring expanded = ReplaceAll(arguments, L"{long}", Widen(PathOfLength(1011)));
        expanded = ReplaceAll(expanded, L"{toolong}", Widen(PathOfLength(1024)));
        expanded = ReplaceAll(expanded, L"{self}", Widen(self_));
        expanded = ReplaceAll(expanded, L"{tool}", Widen(tool_));
        expanded = ReplaceAll(expanded, L"{dir}", Widen(dir()));
        return harness::RunCapturing(L"\"" + Widen(harness::RecorderPath()) + L"\" " + expanded,
                                     dir());
    }
    Output Inspect(int bits) const {
        return harness::RunCapturing(Widen("\"" + harness::InspectorPath() + "\" --view=" +
                                           std::to_string(bits) + " --tool=\"" + self_ + "\""),
                                     dir());
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::string tool_;
    std::string self_;
    std::string shortPath_;
};

// The command lines that the pass started, in order: the test program's
// children, regsvr32.exe's registrations, and executable servers.
std::vector<std::string> StartedByThePass(const harness::RecordLog& log, const std::string& tool) {
    std::vector<std::string> started;
    for (const harness::Record& record : log.Read()) {
        std::string line = record.field("cmdline");
        bool theToolsChild = record.event == "child" && line != "\"" + tool + "\" /S";
        bool regsvr32 = record.event == "register" &&
                        harness::Lower(record.field("process")) != harness::Lower(tool);
        if (theToolsChild || regsvr32 || record.event == "exe") {
            started.push_back(line);
        }
    }
    return started;
}

struct RoundTripCase {
    const char* name;
    int bits; // the tool's, so its view and its child's bitness
    // After "add --view=<bits> --tool=<the test program's copy>".
    const wchar_t* arguments;
    std::vector<WorkSet> before;
    // The work set's values afterwards; "{short}" is the short path of the
    // file whose path the ANSI code page cannot hold.
    std::vector<Value> stored;
    // "" for the one new work set that the recorder names.
    const char* workSet = "w";
};

void PrintTo(const RoundTripCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderRoundTrip : public RecorderTest, public testing::WithParamInterface<RoundTripCase> {};

// What the recorder writes is what it said, the inspector finds nothing
// wrong with it, and, with the test build's own 64-bit tool, the pass starts
// exactly the command lines it printed.
TEST_P(RecorderRoundTrip, WritesWhatThePassRunsAsPrinted) {
    const RoundTripCase& row = GetParam();
    REGSAM view = row.bits == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    ASSERT_TRUE(harness::RecordWorkSets(row.before, dir(), view));

    Output recorded =
        Record(L"add --view=" + std::to_wstring(row.bits) + L" --tool=\"{self}\" " + row.arguments);

    ASSERT_EQ(0u, recorded.exitCode) << recorded.text;
    std::string workSet = row.workSet;
    if (workSet.empty()) {
        HKEY key;
        char name[256] = {};
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kPendingKey, 0, KEY_READ | view, &key);
        RegEnumKeyA(key, 0, name, sizeof(name));
        RegCloseKey(key);
        workSet = name;
        EXPECT_NE(std::string::npos, recorded.text.find("work set \"" + workSet + "\""))
            << "the new work set's name is not printed:\n"
            << recorded.text;
    }
    std::map<std::string, std::string> expected;
    for (const Value& value : row.stored) {
        expected[value.name] = std::to_string(value.type) + " " + Expand(value.bytes);
    }
    std::map<std::string, std::string> stored = ValuesOf(workSet, view);
    EXPECT_EQ(expected, stored);
    Output inspection = Inspect(row.bits);
    EXPECT_EQ(0u, inspection.exitCode) << inspection.text;
    if (row.bits != 64) {
        return;
    }
    std::vector<std::string> printed = CommandLines(recorded);
    harness::RunResult pass = harness::Run("\"" + self_ + "\" /S", nullptr, dir().c_str());
    ASSERT_TRUE(pass.finished);
    std::vector<std::string> started = StartedByThePass(log_, self_);
    // Every entry up to the count runs, those there before and those added.
    DWORD count = 0;
    memcpy(&count, stored["count"].c_str() + 2, sizeof(count));
    ASSERT_EQ(count, started.size()) << recorded.text;
    EXPECT_EQ(printed, std::vector<std::string>(started.end() - printed.size(), started.end()));
}

const RoundTripCase kRoundTripCases[] = {
    {"KindNamed",
     64,
     L"--work-set=w --kind=E {dir}\\exeserver.exe",
     {},
     {Dword("count", 1), Sz("1.mode", "E"), Sz("1.file", "{dir}\\exeserver.exe")}},
    {"PathTheAnsiCodePageCannotHoldStoredShort",
     64,
     L"--work-set=w --kind=D {dir}\\\x03A9mega\\comp\x03A9nent.dll",
     {},
     {Dword("count", 1), Sz("1.mode", "D"), Sz("1.file", "{short}")}},
    {"AppendedAfterTheEntriesThere",
     64,
     L"--work-set=w --kind=D {dir}\\b.dll",
     {{"w", Entries({{"D", "a.dll"}})}},
     {Dword("count", 2), Sz("1.mode", "D"), Sz("1.file", "{dir}\\a.dll"), Sz("2.mode", "D"),
      Sz("2.file", "{dir}\\b.dll")}},
    {"ValuesBeyondTheCountOverwrittenOrRemoved",
     64,
     L"--work-set=w --kind=D {dir}\\b.dll",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("2.mode", "Q"), Sz("2.file", "half"),
                                             Sz("3.mode", "E"), Sz("3.file", "{dir}\\a.dll")})}},
     {Dword("count", 2), Sz("1.mode", "D"), Sz("1.file", "{dir}\\a.dll"), Sz("2.mode", "D"),
      Sz("2.file", "{dir}\\b.dll")}},
    {"NewWorkSetNamedByTheRecorder",
     64,
     L"--kind=D {dir}\\a.dll",
     {},
     {Dword("count", 1), Sz("1.mode", "D"), Sz("1.file", "{dir}\\a.dll")},
     ""},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderRoundTrip, testing::ValuesIn(kRoundTripCases),
                         [](const testing::TestParamInfo<RoundTripCase>& info) {
                             return std::string(info.param.name);
                         });

struct RefusalCase {
    const char* name;
    const wchar_t* arguments;
    // The line that says why, on standard error.
    const char* line;
    std::vector<WorkSet> before = {};
};

void PrintTo(const RefusalCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderRefusals : public RecorderTest, public testing::WithParamInterface<RefusalCase> {};

// A refused run says why in one line, exits with 2 and writes nothing.
TEST_P(RecorderRefusals, RefusesWholeAndChangesNothing) {
    const RefusalCase& row = GetParam();
    ASSERT_TRUE(harness::RecordWorkSets(row.before, dir(), KEY_WOW64_64KEY));
    std::string before = RegistryState();

    Output refused = Record(row.arguments);

    EXPECT_EQ(2u, refused.exitCode);
    EXPECT_TRUE(refused.Has(Expand(row.line))) << "missing: " << Expand(row.line) << "\nin:\n"
                                               << refused.text;
    EXPECT_EQ(before, RegistryState());
}

const std::wstring kLongName(1100, L'x');

const RefusalCase kRefusalCases[] = {
    {"UnknownVerb", L"record {dir}\\a.dll", "pendreg-record: unknown verb: record"},
    {"UnknownOption", L"add --colour {dir}\\a.dll",
     "pendreg-record: add: unknown option: --colour"},
    {"OptionOfAnotherVerb", L"arm --work-set=w",
     "pendreg-record: arm: unknown option: --work-set=w"},
    {"NoFile", L"add --view=64", "pendreg-record: add: too few operands"},
    {"UnknownKind", L"add --kind=TX {dir}\\sample.tlb",
     "pendreg-record: add: --kind is D, DX, E or T, not TX"},
    {"PathThatCannotBeStored", L"add --kind=D {dir}\\\x03A9nly.dll",
     "pendreg-record: {dir}\\?nly.dll: cannot be stored: the ANSI code page cannot hold its path, "
     "and it has no short form that it can hold"},
    {"CommandLineThatWouldNotFit", L"add --kind=E {long}",
     "pendreg-record: {long}: its command line would not fit in 1024 bytes"},
    {"PathTooLongForThePass", L"add --kind=D {toolong}",
     "pendreg-record: {toolong}: cannot be stored: its path has 1024 bytes, and the pass reads at "
     "most 1023"},
    {"OneFileRefusedRefusesAll",
     L"add --view=64 --work-set=w --kind=D {dir}\\b.dll {toolong}",
     "pendreg-record: nothing recorded",
     {{"w", Entries({{"D", "a.dll"}})}}},
    {"WorkSetNameTheAnsiCodePageCannotHold", L"add --work-set=W\x4E2D --kind=D {dir}\\a.dll",
     "pendreg-record: work set \"W?\": cannot be used: the ANSI code page cannot hold it, and the "
     "pass opens work sets by their ANSI names (ASCII is safest)"},
    {"WorkSetNameWithBackslash", L"add --work-set=a\\b --kind=D {dir}\\a.dll",
     "pendreg-record: work set \"a\\b\": cannot be used: a backslash would make it a key inside "
     "another"},
    {"CountOfAnotherType",
     L"add --view=64 --work-set=w --kind=D {dir}\\a.dll",
     "pendreg-record: work set \"w\": its \"count\" is not a REG_DWORD of 4 bytes, so the pass "
     "would run none of it; discard the work set or record into another",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("count", "1")})}}},
    {"DiscardOfNoWorkSet",
     L"discard --view=64 --work-set=gone",
     "pendreg-record: work set \"gone\": not there",
     {{"w", Entries({{"D", "a.dll"}})}}},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderRefusals, testing::ValuesIn(kRefusalCases),
                         [](const testing::TestParamInfo<RefusalCase>& info) {
                             return std::string(info.param.name);
                         });

// The delayed-move list is the machine's: a test that adds to it puts it back.
class SavedRenames {
  public:
    SavedRenames() : before_(Read()) {}
    ~SavedRenames() {
        HKEY key;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key);
        if (before_.empty()) {
            RegDeleteValueA(key, kRenames);
        } else {
            RegSetValueExA(key, kRenames, 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE*>(before_.data()),
                           static_cast<DWORD>(before_.size()));
        }
        RegCloseKey(key);
    }
    static std::string Read() {
        std::string value;
        DWORD size = 0;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, RRF_RT_REG_MULTI_SZ,
                         nullptr, nullptr, &size) == ERROR_SUCCESS) {
            value.resize(size);
            RegGetValueA(HKEY_LOCAL_MACHINE, kSessionManager, kRenames, RRF_RT_REG_MULTI_SZ,
                         nullptr, &value[0], &size);
        }
        return value;
    }

  private:
    std::string before_;
};

struct ReplaceCase {
    const char* name;
    // The file held open without FILE_SHARE_DELETE: "" for none, or the
    // target, in use, or the new version, which then cannot be copied.
    const char* held;
    const char* newFile; // in the scratch folder
    DWORD exitCode;
    const char* line; // how the first line printed begins
    const char* targetNow;
    bool atRestart;     // the target is replaced at the next restart
    size_t filesBeside; // in the target's folder, the target included
};

void PrintTo(const ReplaceCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderReplace : public RecorderTest, public testing::WithParamInterface<ReplaceCase> {};

size_t FilesIn(const std::string& folder) {
    size_t count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        count += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return count;
}

// The new version takes the target's place at once when it can, at restart
// when the target is in use, and not at all when it cannot be had: then the
// target is untouched and no copy is left beside it.
TEST_P(RecorderReplace, PutsTheNewVersionInPlaceNowOrAtRestart) {
    const ReplaceCase& row = GetParam();
    SavedRenames savedRenames;
    std::string target = scratch_.Write("app\\target.dll", "version 1");
    scratch_.Write("update\\new.dll", "version 2");
    HANDLE held = INVALID_HANDLE_VALUE;
    if (*row.held != '\0') {
        held = CreateFileA((dir() + "\\" + row.held).c_str(), GENERIC_READ, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
    }

    Output replaced = Record(L"replace {dir}\\" + Widen(row.newFile) + L" {dir}\\app\\target.dll");

    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    EXPECT_EQ(row.exitCode, replaced.exitCode) << replaced.text;
    EXPECT_EQ(0u, replaced.text.find(Expand(row.line))) << replaced.text;
    EXPECT_EQ(row.targetNow, harness::ReadFile(target));
    EXPECT_EQ(row.atRestart, harness::ListedForDeletionAtRestart(target));
    EXPECT_EQ(row.filesBeside, FilesIn(dir() + "\\app"));
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
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderReplace, testing::ValuesIn(kReplaceCases),
                         [](const testing::TestParamInfo<ReplaceCase>& info) {
                             return std::string(info.param.name);
                         });

// The values of RunOnce, in the view that the system's start-up reads, that
// name the file.
std::vector<std::string> RunOnceValuesNaming(const std::string& file) {
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnce, 0, KEY_READ | KEY_WOW64_64KEY, &key) != 0) {
        return names;
    }
    char name[256];
    char data[2048];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = sizeof(name);
        DWORD size = sizeof(data);
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr,
                          reinterpret_cast<BYTE*>(data), &size) != 0) {
            break;
        }
        if (harness::Lower(std::string(data, size)).find(harness::Lower(file)) !=
            std::string::npos) {
            names.push_back(name);
        }
    }
    RegCloseKey(key);
    return names;
}

// Arming twice leaves one RunOnce value, which starts a copy of the tool with
// "/S"; the second run says so and does nothing. Then "add" names that copy
// in its command lines, since it is the copy that will run the pass.
TEST_F(RecorderTest, ArmsOnceAndAddNamesTheArmedCopy) {
    Output first = Record(L"arm --name=\"pendreg record test\" --tool=\"{tool}\"");
    Output second = Record(L"arm --name=\"pendreg record test\" --tool=\"{tool}\"");
    Output added = Record(L"add --view=64 --work-set=w --kind=D {dir}\\a.dll");

    const char kArmed[] = "armed: the RunOnce value \"pendreg record test\" in "
                          "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce starts \"";
    ASSERT_EQ(0u, first.exitCode) << first.text;
    ASSERT_EQ(0u, first.text.find(kArmed)) << first.text;
    std::string copy = first.text.substr(sizeof(kArmed) - 1);
    copy = copy.substr(0, copy.find('"'));
    std::vector<std::string> values = RunOnceValuesNaming(copy);
    EXPECT_EQ(std::vector<std::string>{"pendreg record test"}, values);
    EXPECT_EQ(harness::ReadFile(tool_), harness::ReadFile(copy));
    EXPECT_EQ(0u, second.exitCode);
    EXPECT_TRUE(second.Has("already armed: the RunOnce value \"pendreg record test\" starts \"" +
                           copy + "\" /S; nothing done"))
        << second.text;
    EXPECT_TRUE(added.Has("tool: " + copy +
                          " (the copy that the RunOnce value \"pendreg record test\" starts)"))
        << added.text;
    EXPECT_TRUE(added.Has("  entry 1 (D): runs \"" + copy + "\" /D" + dir() + "\\a.dll"))
        << added.text;

    HKEY key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnce, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key);
    RegDeleteValueA(key, "pendreg record test");
    RegCloseKey(key);
    harness::RemoveFile(copy);
    RemoveDirectoryA(harness::FolderOf(copy).c_str());
}

} // namespace

// The inspector: for every verdict, the line it prints and its exit code; the
// command lines it prints are those the pass then starts; and inspecting
// changes nothing. It runs as the 64-bit test build does: "--view=64", so its
// view and its tool's child are 64-bit.
#include "companion/ExitCodes.h"
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"
#include "harness/Jq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace {

using harness::Dword;
using harness::Entries;
using harness::Sz;
using harness::Value;
using harness::With;
using harness::Without;
using harness::WorkSet;

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kRenames[] = "PendingFileRenameOperations";
const char kEnvironment[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const char kSampleLibId[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}";
// The RunOnce value that arms the pass with the scratch folder's copy of the
// tool.
const char kArmName[] = "pendreg inspector test";
// A second product's, for the rows where two values start the pass.
const char kSecondArmName[] = "pendreg inspector test 2";

// What the inspector said, and how it was run, for the rows that run it again
// for its JSON document.
struct Inspection : harness::Output {
    std::string arguments;
    std::string dir;
    // The findings of the JSON document, once read (ReadCodes).
    std::vector<std::string> codes;
    bool codesRead = false;
};

// Runs the inspector with its standard output in a file, and returns its
// exit code and lines.
Inspection Inspect(const std::string& arguments, const std::string& dir) {
    Inspection inspection;
    static_cast<harness::Output&>(inspection) = harness::RunCapturing(
        harness::Widen("\"" + harness::InspectorPath() + "\" " + arguments), dir);
    inspection.arguments = arguments;
    inspection.dir = dir;
    return inspection;
}

// Every finding of the inspector's JSON document for the same run, as
// "OUTCOME CODE", read by jq; the document's exit code must be the run's.
std::vector<std::string> InspectedCodes(const Inspection& inspection) {
    Inspection json = Inspect(inspection.arguments + " --format=json", inspection.dir);
    EXPECT_EQ(inspection.exitCode, json.exitCode) << json.text;
    std::string file = inspection.dir + "\\report.json";
    harness::WriteWholeFile(file, json.text);
    std::vector<std::string> codes;
    std::string error;
    EXPECT_TRUE(harness::RunJq("(.. | objects | select(has(\"code\") and has(\"outcome\")) | "
                               "\"\\(.outcome) \\(.code)\"), \"exit \\(.exit_code)\"",
                               file, &codes, &error))
        << error << "\nin:\n"
        << json.text;
    harness::RemoveFile(file);
    EXPECT_FALSE(codes.empty() || codes.back() != "exit " + std::to_string(json.exitCode))
        << json.text;
    return codes;
}

// A value of the machine's (the delayed-move list, the PATH): each test that
// changes it puts it back as it was.
using harness::SavedValue;

// The RunOnce value of the guide's sample, as the recorder's arm names it.
const char kSampleArmName[] = "pendreg";

// A scratch folder that only administrators may change, with a copy of the
// tool that a RunOnce value starts with "/S", and the fixtures the rows name.
class InspectorTest : public testing::Test {
  protected:
    void SetUp() override {
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
        ASSERT_TRUE(harness::KeepToAdministrators(dir()));
        tool_ = scratch_.Copy(harness::ToolPath(), "tool\\pendreg.exe");
        scratch_.Copy(harness::ToolPath(), "tool\\setup.exe");
        ASSERT_TRUE(harness::SetRunOnce(kArmName, "\"" + tool_ + "\" /S"));
        scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "b.dll");
        scratch_.Copy(harness::FixturePath("recorder32.dll"), "rec32.dll");
        scratch_.Copy(harness::FixturePath("noexport.dll"), "noexport.dll");
        scratch_.Copy(harness::FixturePath("exeserver.exe"), "exeserver.exe");
        scratch_.Copy(harness::FixturePath("sample.tlb"), "sample.tlb");
        scratch_.Write("not a library.tlb", "plain text, no type library\r\n");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "new\\a.dll");
    }
    void TearDown() override {
        harness::DeleteRunOnce(kArmName);
        harness::DeleteRunOnce(kSecondArmName);
        harness::DeleteRunOnce(kSampleArmName);
        // Work sets whose names the ANSI functions cannot give go first.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Zelk.Library.Cormant.v3");
        harness::RemovePendingKey();
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
    }

    std::string Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{tool}", tool_);
        expanded = harness::ReplaceAll(expanded, "{sys}", harness::SystemDirectory());
        expanded =
            harness::ReplaceAll(expanded, "{win}", harness::FolderOf(harness::SystemDirectory()));
        return harness::ReplaceAll(expanded, "{dir}", dir());
    }
    // The wanted lines must appear in the report in this order; one that
    // ends in "*" stands for every line that begins with the rest. One that
    // begins with "code: " ("code: refuse file-missing") is a finding of that
    // outcome and code in the JSON document of the same run, in any order: a
    // code wanted twice must be there twice.
    void ExpectReport(const Inspection& inspection, const std::vector<std::string>& lines,
                      DWORD exitCode) const {
        std::string report;
        for (const std::string& line : inspection.lines) {
            report += line + "\n";
        }
        EXPECT_EQ(exitCode, inspection.exitCode) << report;
        std::vector<std::string> codes;
        for (const std::string& wanted : lines) {
            if (wanted.compare(0, 6, "code: ") == 0) {
                codes.push_back(wanted.substr(6));
            }
        }
        ExpectCodes(inspection, codes);
        auto from = inspection.lines.begin();
        for (const std::string& wanted : lines) {
            if (wanted.compare(0, 6, "code: ") == 0) {
                continue;
            }
            std::string line = Expand(wanted);
            bool prefix = !line.empty() && line.back() == '*';
            line.resize(line.size() - (prefix ? 1 : 0));
            auto found = std::find_if(from, inspection.lines.end(), [&](const std::string& got) {
                return prefix ? got.compare(0, line.size(), line) == 0 : got == line;
            });
            EXPECT_NE(inspection.lines.end(), found)
                << "missing, or out of order: " << line << "\nin:\n"
                << report;
            from = found == inspection.lines.end() ? from : found + 1;
        }
    }
    void ExpectCodes(const Inspection& inspection, const std::vector<std::string>& wanted) const {
        if (wanted.empty()) {
            return;
        }
        if (!harness::JqAvailable()) {
            std::cout << "[ codes    ] not checked: jq runs only on Wine's Unix side\n";
            return;
        }
        std::vector<std::string> got =
            inspection.codesRead ? inspection.codes : InspectedCodes(inspection);
        std::string said;
        for (const std::string& code : got) {
            said += code + "\n";
        }
        for (const std::string& code : wanted) {
            auto found = std::find(got.begin(), got.end(), code);
            EXPECT_NE(got.end(), found) << "no finding " << code << " (or too few) in:\n" << said;
            if (found != got.end()) {
                got.erase(found);
            }
        }
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    // The recorder's add, which some rows run, notes what it recorded in the
    // products' record too.
    harness::PendingKeyGuard pendingKey_;
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    SavedValue savedRenames_{kSessionManager, kRenames};
    SavedValue savedPath_{kEnvironment, "Path"};
    std::string tool_;
};

// What a row sets up besides its work sets.
enum class Extra {
    None,
    OtherView,
    ArrivesAtRestart,
    LeavesAtRestart,
    AnsiLoss,
    WorkSetsIn32BitView,
    // No RunOnce value starts the pass.
    Disarmed,
    // A second RunOnce value starts it too, as another product's would.
    ArmedTwice,
    // The recorder recorded work set "mine", which a pass then ran.
    CarriedOut
};

struct VerdictCase {
    const char* name;
    std::vector<WorkSet> workSets;
    // Lines that must appear in the report, in this order; "{tool}", "{dir}"
    // and "{sys}" stand for the tool's copy, the scratch folder and the
    // system directory.
    std::vector<std::string> lines;
    DWORD exitCode;
    Extra extra = Extra::None;
    // In UTF-8.
    const char* options = "--view=64";
    // It inspects 32-bit files, whose system modules only a 32-bit Wine has.
    bool needs32BitSystem = false;
};

void PrintTo(const VerdictCase& row, std::ostream* out) {
    *out << row.name;
}

class InspectorVerdicts : public InspectorTest, public testing::WithParamInterface<VerdictCase> {};

TEST_P(InspectorVerdicts, SaysWhatThePassWillDo) {
    const VerdictCase& row = GetParam();
    if (row.needs32BitSystem && harness::LeftToTheLane()) {
        GTEST_SKIP() << harness::kNo32BitSystem;
    }
    ASSERT_TRUE(harness::RecordWorkSets(
        row.workSets, dir(), row.extra == Extra::WorkSetsIn32BitView ? KEY_WOW64_32KEY : 0));
    if (row.extra == Extra::OtherView) {
        ASSERT_TRUE(
            harness::RecordWorkSets({{"lost", Entries({{"D", "a.dll"}})}}, dir(), KEY_WOW64_32KEY));
    } else if (row.extra == Extra::ArrivesAtRestart) {
        ASSERT_TRUE(MoveFileExA((dir() + "\\new\\a.dll").c_str(), (dir() + "\\late.dll").c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    } else if (row.extra == Extra::LeavesAtRestart) {
        // b.dll moves away; the move that would bring late.dll has lost its
        // source.
        std::string gone = scratch_.Copy(harness::FixturePath("recorder.dll"), "gone.dll");
        ASSERT_TRUE(MoveFileExA((dir() + "\\b.dll").c_str(), (dir() + "\\away.dll").c_str(),
                                MOVEFILE_DELAY_UNTIL_REBOOT));
        ASSERT_TRUE(
            MoveFileExA(gone.c_str(), (dir() + "\\late.dll").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
        harness::RemoveFile(gone);
    } else if (row.extra == Extra::AnsiLoss) {
        HKEY key;
        std::wstring path = std::wstring(L"Software\\Zelk.Library.Cormant.v3\\w");
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        std::wstring file(dir().begin(), dir().end());
        file += L"\\\x4E2D.dll";
        RegSetValueExW(key, L"1.file", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                       static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    } else if (row.extra == Extra::Disarmed) {
        harness::DeleteRunOnce(kArmName);
    } else if (row.extra == Extra::ArmedTwice) {
        ASSERT_TRUE(harness::SetRunOnce(kSecondArmName, "\"" + tool_ + "\" /S"));
    } else if (row.extra == Extra::CarriedOut) {
        harness::Output added = harness::RunCapturing(
            harness::Widen("\"" + harness::RecorderPath() + "\" add --view=64 --tool=\"" + tool_ +
                           "\" --work-set=mine " + dir() + "\\a.dll"),
            dir());
        ASSERT_EQ(0u, added.exitCode) << added.text;
        // As the pass does once it has run it.
        harness::RemovePendingKey();
    }

    // The options in UTF-8, for names that the ANSI code page cannot hold;
    // the JSON document's run (ExpectReport) is one of ASCII options only.
    Inspection inspection;
    static_cast<harness::Output&>(inspection) = harness::RunCapturing(
        harness::Widen("\"" + harness::InspectorPath() + "\" ") + harness::FromUtf8(row.options) +
            harness::Widen(" --tool=\"" + tool_ + "\""),
        dir());
    inspection.arguments = std::string(row.options) + " --tool=\"" + tool_ + "\"";
    inspection.dir = dir();

    ExpectReport(inspection, row.lines, row.exitCode);
}

const std::string kLong(1024, 'x');

const VerdictCase kVerdictCases[] = {
    {"EveryCheckPasses",
     {{"w",
       Entries({{"D", "a.dll"}, {"E", "exeserver.exe"}, {"T", "sample.tlb"}, {"DX", "b.dll"}})}},
     {"work set \"w\": runs entries 1 to 4, then is deleted", "code: ok work-set-runs",
      "  entry 1 (D): runs \"{tool}\" /D{dir}\\a.dll", "code: ok file-present",
      "    ok   64-bit DLL", "code: ok dll-bits", "code: ok exports-register",
      "  entry 2 (E): runs \"{dir}\\exeserver.exe\" /regserver", "    ok   64-bit executable",
      "code: ok executable-bits", "  entry 3 (T): runs \"{tool}\" /T{dir}\\sample.tlb",
      "code: ok type-library-loads",
      "  entry 4 (DX): runs \"{sys}\\regsvr32.exe\" /s \"{dir}\\b.dll\"", "    ok   64-bit DLL",
      "code: ok dll-bits",
      "summary: work sets 1, entries run 4, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, warnings 0, work sets in the other view 0, "
      "unsafe placements 0, RunOnce values that start the pass 1"},
     0},
    {"NoKeyNothingToDo", {}, {"code: ok key-missing"}, 0},
    // After the restart, or before anything was recorded: nothing to do is
    // nothing wrong.
    {"NothingRecordedNothingArmed",
     {},
     {"code: ok key-missing", "code: ok nothing-recorded"},
     0,
     Extra::Disarmed},
    // Another product's work set fails; the one named is judged alone.
    {"WorkSetNamedJudgedAlone",
     {{"other", Entries({{"D", "noexport.dll"}})}, {"mine", Entries({{"D", "a.dll"}})}},
     {"work set \"mine\": runs entries 1 to 1, then is deleted", "code: ok work-set-runs",
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, *"},
     0,
     Extra::None,
     "--view=64 --work-set=MINE"},
    {"WorkSetNamedStillNeedsTheArming",
     {{"mine", Entries({{"D", "a.dll"}})}},
     {"work set \"mine\": runs entries 1 to 1, then is deleted", "code: ok work-set-runs",
      "FAIL not armed: *"},
     1,
     Extra::Disarmed,
     "--view=64 --work-set=mine"},
    // A misspelt name, or an add that never ran: nothing will be registered.
    {"WorkSetNamedNeverRecorded",
     {{"other", Entries({{"D", "noexport.dll"}})}},
     {"FAIL nothing recorded for \"mine\": no work set of that name, and the recorder noted "
      "nothing for it (a misspelt name, or an add that never ran)",
      "code: fail nothing-recorded-for",
      "summary: work sets 0, entries run 0, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 1, *"},
     1,
     Extra::Disarmed,
     "--view=64 --work-set=mine"},
    {"WorkSetNamedCarriedOutByThePass",
     {{"other", Entries({{"D", "noexport.dll"}})}},
     {"carried out: work set \"mine\" is gone, and the recorder noted entries for it: the pass "
      "has run it and deleted it",
      "code: ok carried-out",
      "summary: work sets 0, entries run 0, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, *"},
     0,
     Extra::CarriedOut,
     "--view=64 --work-set=mine"},
    {"WorkSetNamedInTheOtherView",
     {},
     {"other view: work set \"lost\" lies in the 32-bit view, which the tool never reads",
      "code: fail other-view"},
     1,
     Extra::OtherView,
     "--view=64 --work-set=lost"},
    // Another product's work set in the other view is its mistake, not this one's.
    {"WorkSetNamedOtherViewHoldsAnother",
     {{"mine", Entries({{"D", "a.dll"}})}},
     {"work set \"mine\": runs entries 1 to 1, then is deleted", "code: ok work-set-runs",
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, warnings 0, work sets in the other view 0, *"},
     0,
     Extra::OtherView,
     "--view=64 --work-set=mine"},
    {"TwoRunOnceValuesStartThePass",
     {{"w", Entries({{"D", "a.dll"}})}},
     {"WARN 2 RunOnce values start the pass: the first to run runs every work set, and the "
      "others find nothing left to do",
      "code: warn armed-several-times",
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, warnings 1, work sets in the other view 0, "
      "unsafe placements 0, RunOnce values that start the pass 2"},
     0,
     Extra::ArmedTwice},
    {"CountMissing",
     {{"w", Without(Entries({{"D", "a.dll"}}), "count")}},
     {"work set \"w\": runs nothing (\"count\" is missing), then is deleted",
      "code: fail work-set-runs-nothing"},
     1},
    {"CountZero",
     {{"w", With(Entries({{"D", "a.dll"}}), {Dword("count", 0)})}},
     {"work set \"w\": runs nothing (\"count\" is 0), then is deleted",
      "code: fail work-set-runs-nothing"},
     1},
    {"CountNotDword",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("count", "1")})}},
     {"work set \"w\": runs nothing (\"count\" is not a REG_DWORD), then is deleted",
      "code: fail work-set-runs-nothing"},
     1},
    {"WorkSetWithSubkeyStays",
     {{"w", Entries({{"D", "a.dll"}}), true}},
     {"work set \"w\": runs entries 1 to 1, then stays: it has a subkey, so the pass cannot "
      "delete it and every later pass runs it again",
      "code: fail work-set-has-subkey", "code: fail key-stays"},
     1},
    {"WorkSetThatCannotBeOpened",
     {{"w", Entries({{"D", "a.dll"}}), false, KEY_READ}},
     {"work set \"w\": runs nothing (it cannot be opened), then is deleted, unless it has a "
      "subkey, which cannot be listed either",
      "code: fail work-set-unopened-unlisted"},
     1},
    {"ModeMissing",
     {{"w", Without(Entries({{"D", "a.dll"}}), "1.mode")}},
     {"  entry 1: skipped: \"1.mode\" is missing", "code: fail value-missing"},
     1},
    {"ModeNotString",
     {{"w", With(Entries({{"D", "a.dll"}}), {{"1.mode", REG_BINARY, "D"}})}},
     {"  entry 1: skipped: \"1.mode\" is not a REG_SZ", "code: fail value-not-a-string"},
     1},
    {"ModeTooLong",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("1.mode", "DXY")})}},
     {"  entry 1: skipped: \"1.mode\" is too long: a mode has at most 2 characters",
      "code: fail mode-too-long"},
     1},
    {"FileMissing",
     {{"w", Without(Entries({{"D", "a.dll"}}), "1.file")}},
     {"  entry 1: skipped: \"1.file\" is missing", "code: fail value-missing"},
     1},
    {"FileNotString",
     {{"w", With(Entries({{"D", "a.dll"}}), {{"1.file", REG_EXPAND_SZ, "{dir}\\a.dll"}})}},
     {"  entry 1: skipped: \"1.file\" is not a REG_SZ", "code: fail value-not-a-string"},
     1},
    {"FileTooLong",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("1.file", kLong)})}},
     {"  entry 1: skipped: \"1.file\" is too long: a file path has at most 1023 bytes",
      "code: fail file-value-too-long"},
     1},
    {"FileEmpty",
     {{"w", Entries({{"D", ""}})}},
     {"  entry 1 (D): skipped: the file value is empty", "code: fail file-value-empty"},
     1},
    {"UnknownKindLetter",
     {{"w", Entries({{"Q", "a.dll"}})}},
     {"  entry 1 (Q): skipped: the kind letter is not D, E or T", "code: fail kind-unknown"},
     1},
    {"DriveRelativePath",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("1.file", "C:a.dll")})}},
     {"code: refuse not-a-full-path"},
     1},
    {"CommandLineWouldNotFit",
     {{"w", With(Entries({{"E", "a.dll"}}), {Sz("1.file", kLong.substr(0, 1012))})}},
     {"  entry 1 (E): skipped: its command line would be longer than 1023 characters (bytes in "
      "the ANSI code page)",
      "code: fail command-line-too-long"},
     1},
    {"GapsAndEntriesBeyondCount",
     {{"w", With(Entries({{"D", "a.dll"}}),
                 {Dword("count", 6), Sz("3.mode", "D"), Sz("3.file", "{dir}\\a.dll"),
                  Sz("9.mode", "D"), Sz("9.file", "{dir}\\a.dll")})}},
     {"  entry 2: skipped: it has no values", "code: fail entry-without-values",
      "  entry 3 (D): runs \"{tool}\" /D{dir}\\a.dll",
      "  entries 4 to 6: skipped: they have no values", "code: fail entries-without-values",
      "  entry 9: never run: it lies beyond \"count\" (6)", "code: fail entry-beyond-count"},
     1},
    {"CountFarBeyondTheEntriesAnsweredAtOnce",
     {{"w", With(Entries({{"D", "a.dll"}}), {Dword("count", 0xFFFFFFFFu)})}},
     {"work set \"w\": runs entries 1 to 4294967295, then is deleted", "code: ok work-set-runs",
      "  entry 1 (D): runs \"{tool}\" /D{dir}\\a.dll",
      "  entries 2 to 4294967295: skipped: they have no values; the pass still tries every "
      "one of these numbers, which can take hours",
      "code: fail many-entries-without-values"},
     1},
    // The summary counts failures and warnings apart.
    {"FileNotThere",
     {{"w", Entries({{"D", "missing.dll"}})}},
     {"code: refuse file-missing",
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 1, warnings 0, work sets in the other view 0, "
      "unsafe placements 0, RunOnce values that start the pass 1"},
     1},
    {"FileArrivesAtRestart",
     {{"w", Entries({{"D", "late.dll"}})}},
     {"    ok   file arrives at restart from {dir}\\new\\a.dll", "code: ok file-arrives-at-restart",
      "    ok   64-bit DLL", "code: ok dll-bits", "code: ok exports-register"},
     0,
     Extra::ArrivesAtRestart},
    {"DllOfTheOtherBitnessForTheChild",
     {{"w", Entries({{"D", "rec32.dll"}})}},
     {"    FAIL 32-bit DLL: the tool's own 64-bit child cannot load it",
      "code: refuse dll-other-bitness"},
     1},
    {"ThirtyTwoBitDllMarkedX",
     {{"w", Entries({{"DX", "rec32.dll"}})}},
     {"code: warn dx-holds-32-bit-dll-for-64-bit-tool"},
     0,
     Extra::None,
     "--view=64",
     true},
    {"DllWithoutRegisterExport",
     {{"w", Entries({{"D", "noexport.dll"}})}},
     {"    ok   64-bit DLL", "code: ok dll-bits", "code: refuse no-register-export"},
     1},
    {"ExecutableServerThatIsADll",
     {{"w", Entries({{"E", "a.dll"}})}},
     {"code: refuse dll-not-executable"},
     1},
    {"FileLeavesOrNeverArrivesAtRestart",
     {{"w", Entries({{"D", "b.dll"}, {"D", "late.dll"}})}},
     {"  entry 1 (D): runs \"{tool}\" /D{dir}\\b.dll",
      "    FAIL the file is moved away to {dir}\\away.dll at restart, before the pass can run",
      "code: refuse file-moved-away-at-restart", "  entry 2 (D): runs \"{tool}\" /D{dir}\\late.dll",
      "    FAIL file not found: the pending move that would put it in place fails at restart, as "
      "{dir}\\gone.dll is not there",
      "code: refuse file-source-missing"},
     1,
     Extra::LeavesAtRestart},
    {"DllThatIsAnExecutable",
     {{"w", Entries({{"D", "exeserver.exe"}})}},
     {"code: ok file-present", "code: refuse not-a-dll"},
     1},
    {"ExecutableServerThatIsNoImage",
     {{"w", Entries({{"E", "not a library.tlb"}})}},
     {"code: ok file-present", "code: refuse not-an-executable"},
     1},
    {"TypeLibraryThatIsNone",
     {{"w", Entries({{"T", "not a library.tlb"}})}},
     {"code: refuse not-a-type-library"},
     1},
    {"MarkedTypeLibrary",
     {{"w", Entries({{"TX", "sample.tlb"}})}},
     {"  entry 1 (TX): runs \"{sys}\\regsvr32.exe\" /s \"{dir}\\sample.tlb\"",
      "code: refuse tx-registers-nothing"},
     1},
    {"PathTheAnsiCodePageCannotHold",
     {{"w", {Dword("count", 1), Sz("1.mode", "D")}}},
     {"    FAIL the ANSI code page cannot hold the stored path: stored \"{dir}\\<U+4E2D>.dll\", "
      "the tool reads \"{dir}\\?.dll\"",
      "code: fail stored-path-unheld"},
     1,
     Extra::AnsiLoss},
    {"WorkSetInTheOtherView",
     {{"w", Entries({{"D", "a.dll"}})}},
     {"other view: work set \"lost\" lies in the 32-bit view, which the tool never reads",
      "code: fail other-view"},
     1,
     Extra::OtherView},
    {"UnknownOptionInspectsNothing",
     {{"w", Entries({{"D", "a.dll"}})}},
     {"pendreg-inspect: unknown option: --colour"},
     2,
     Extra::None,
     "--view=64 --colour"},
    {"HelpPrintsTheUsage",
     {},
     {"usage: pendreg-inspect [--view=32|64] [--tool=PATH] [--work-set=NAME] [--strict]",
      "                       [--log=FILE] [--format=json]"},
     0,
     Extra::None,
     "--help"},
    // The front end, shared with the recorder: Unicode arguments, one table
    // of options, the usage and the version, the exit codes.
    {"UnicodeWorkSetNameTheCodePageHolds",
     {{"Caf\xE9", Entries({{"D", "a.dll"}})}, {"other", Entries({{"D", "noexport.dll"}})}},
     {"work set \"Caf\xE9\": runs entries 1 to 1, then is deleted",
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, *"},
     kExitDone,
     Extra::None,
     u8"--view=64 --work-set=Café"},
    // Refused as the recorder refuses it, not judged by the "?" that the pass
    // would read in its place.
    {"UnicodeWorkSetNameOutsideTheCodePageRefused",
     {{"W?", Entries({{"D", "a.dll"}})}},
     {"pendreg-inspect: work set \"W<U+4E2D>\": cannot be used: the ANSI code page cannot hold "
      "it, and the pass opens work sets by their ANSI names (ASCII is safest)",
      "usage: pendreg-inspect [--view=32|64] [--tool=PATH] [--work-set=NAME] [--strict]"},
     kExitRefused,
     Extra::None,
     u8"--view=64 --work-set=W中"},
    {"VersionOfTheRelease",
     {},
     {"pendreg-inspect " PENDREG_VERSION},
     kExitDone,
     Extra::None,
     "--version"},
    {"HelpNamesTheVersionAndEveryExitCode",
     {},
     {"       pendreg-inspect --help", "       pendreg-inspect --version",
      "1 it will not, or nothing starts it (with --strict, also any warning); 2 nothing",
      "could be inspected; 3 out of memory or an internal error."},
     kExitDone,
     Extra::None,
     "--strict --help"},
    {"UnknownOptionPrintsTheUsage",
     {},
     {"pendreg-inspect: unknown option: --colour",
      "usage: pendreg-inspect [--view=32|64] [--tool=PATH] [--work-set=NAME] [--strict]",
      "                       [--log=FILE] [--format=json]"},
     kExitRefused,
     Extra::None,
     "--colour"},
    {"FlagWithAValue",
     {},
     {"pendreg-inspect: unknown option: --strict=1"},
     kExitRefused,
     Extra::None,
     "--view=64 --strict=1"},
    {"OptionOfTheRecorder",
     {},
     {"pendreg-inspect: unknown option: --kind=D"},
     kExitRefused,
     Extra::None,
     "--view=64 --kind=D"},
    // What the shipped tool does: the 32-bit view, and a 32-bit child.
    {"ThirtyTwoBitViewByDefault",
     {{"w", Entries({{"D", "rec32.dll"}, {"D", "a.dll"}})}},
     {"key: HKLM\\Software\\Zelk.Library.Cormant.v3 (32-bit view)",
      "  entry 1 (D): runs \"{tool}\" /D{dir}\\rec32.dll", "    ok   32-bit DLL",
      "code: ok dll-bits", "    ok   a 32-bit process finds every module it needs",
      "code: ok modules-found", "  entry 2 (D): runs \"{tool}\" /D{dir}\\a.dll",
      "    FAIL 64-bit DLL: the tool's own 32-bit child cannot load it (record it as DX)",
      "code: refuse dll-needs-dx",
      "summary: work sets 1, entries run 2, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 1, warnings 0, work sets in the other view 0, "
      "unsafe placements 0, RunOnce values that start the pass 1"},
     1,
     Extra::WorkSetsIn32BitView,
     "",
     true},
};

INSTANTIATE_TEST_SUITE_P(Inspector, InspectorVerdicts, testing::ValuesIn(kVerdictCases),
                         [](const testing::TestParamInfo<VerdictCase>& info) {
                             return std::string(info.param.name);
                         });

// The JSON document that programs read, parsed by jq, says what the text
// report of the same records says: the same lines (as the findings'
// messages), the same command lines, the same summary and exit code; and a
// row per outcome finds a finding of that outcome.
struct JsonCase {
    const char* name;
    std::vector<WorkSet> workSets;
    // "OUTCOME CODE" of a finding that must be there; for "ok", no finding
    // may be of another outcome.
    const char* finding;
    DWORD exitCode;
    Extra extra = Extra::None;
};

void PrintTo(const JsonCase& row, std::ostream* out) {
    *out << row.name;
}

class InspectorJson : public InspectorTest, public testing::WithParamInterface<JsonCase> {};

// The text report's lines that are findings: without the lines on what was
// read, the summary, indentation and tags.
std::multiset<std::string> FindingLines(const Inspection& text) {
    std::multiset<std::string> lines;
    for (std::string line : text.lines) {
        line.erase(0, line.find_first_not_of(' '));
        for (const char* tag : {"ok   ", "FAIL ", "WARN "}) {
            if (line.compare(0, 5, tag) == 0) {
                line.erase(0, 5);
            }
        }
        bool said = false;
        for (const char* head : {"key: ", "tool: ", "deps: ", "safety: ", "summary: "}) {
            said = said || line.compare(0, strlen(head), head) == 0;
        }
        if (!said) {
            lines.insert(line);
        }
    }
    return lines;
}

// jq's view of the document: "exit N", the summary as the text says it, then
// "message M", "outcome O CODE" for each finding and "runs L" for each
// entry's command line.
const char kJsonLines[] =
    "\"exit \\(.exit_code)\", "
    "(.summary | \"summary: work sets \\(.work_sets), entries run \\(.entries_run), entries "
    "skipped \\(.entries_skipped), work sets that run nothing \\(.work_sets_that_run_nothing), "
    "work sets that stay \\(.work_sets_that_stay), checks failed \\(.checks_failed), warnings "
    "\\(.warnings), work sets in the other view \\(.work_sets_in_the_other_view), unsafe "
    "placements \\(.unsafe_placements), RunOnce values that start the pass "
    "\\(.arming_values)\"), "
    "(.. | objects | select(has(\"code\")) | \"message \\(.message)\", "
    "\"outcome \\(.outcome) \\(.code)\"), "
    "(.work_sets[].entries[] | select(.command_line != null) | "
    "\"runs entry \\(.index) (\\(.mode)): runs \\(.command_line)\")";

TEST_P(InspectorJson, SaysWhatTheTextSays) {
    const JsonCase& row = GetParam();
    if (!harness::JqAvailable()) {
        GTEST_SKIP() << "jq runs only on Wine's Unix side";
    }
    ASSERT_TRUE(harness::RecordWorkSets(row.workSets, dir()));
    if (row.extra == Extra::Disarmed) {
        harness::DeleteRunOnce(kArmName);
    } else if (row.extra == Extra::ArmedTwice) {
        ASSERT_TRUE(harness::SetRunOnce(kSecondArmName, "\"" + tool_ + "\" /S"));
    }
    std::string arguments = "--view=64 --tool=\"" + tool_ + "\"";
    Inspection text = Inspect(arguments, dir());
    Inspection json = Inspect(arguments + " --format=json", dir());
    std::string file = scratch_.Write("report.json", json.text);
    std::vector<std::string> read;
    std::string error;
    ASSERT_TRUE(harness::RunJq(kJsonLines, file, &read, &error)) << error << "\nin:\n" << json.text;

    EXPECT_EQ(row.exitCode, text.exitCode) << text.text;
    EXPECT_EQ(text.exitCode, json.exitCode);
    ASSERT_GE(read.size(), 2u) << json.text;
    EXPECT_EQ("exit " + std::to_string(text.exitCode), read[0]);
    EXPECT_TRUE(text.Has(read[1])) << read[1] << "\nnot in:\n" << text.text;
    std::multiset<std::string> messages;
    std::multiset<std::string> outcomes;
    for (const std::string& line : read) {
        if (line.compare(0, 8, "message ") == 0) {
            messages.insert(line.substr(8));
        } else if (line.compare(0, 8, "outcome ") == 0) {
            outcomes.insert(line.substr(8));
        } else if (line.compare(0, 11, "runs entry ") == 0) {
            EXPECT_TRUE(text.Has("  " + line.substr(5))) << line << "\nnot in:\n" << text.text;
        }
    }
    EXPECT_EQ(FindingLines(text), messages) << json.text;
    EXPECT_NE(0u, outcomes.count(row.finding)) << row.finding << " not in:\n" << json.text;
    if (std::string(row.finding).compare(0, 3, "ok ") == 0) {
        for (const std::string& outcome : outcomes) {
            EXPECT_EQ(0u, outcome.compare(0, 3, "ok ")) << outcome;
        }
    }
}

const JsonCase kJsonCases[] = {
    {"Ok", {{"w", Entries({{"D", "a.dll"}, {"E", "exeserver.exe"}})}}, "ok file-present", 0},
    {"Warn", {{"w", Entries({{"D", "a.dll"}})}}, "warn armed-several-times", 0, Extra::ArmedTwice},
    {"Fail",
     {{"w", With(Entries({{"D", "a.dll"}}), {Dword("count", 0)})}},
     "fail work-set-runs-nothing",
     1},
    {"Refuse",
     {{"w", Entries({{"D", "noexport.dll"}, {"D", "missing.dll"}})}},
     "refuse no-register-export",
     1},
    {"NothingRecorded", {}, "ok nothing-recorded", 0, Extra::Disarmed},
    // Quotes, a tab and a character beyond ASCII in a work set's name, which
    // the text prints as they are.
    {"NamesThatJsonEscapes",
     {{"say \"\xE9\"\tnow", Entries({{"D", "a.dll"}})}},
     "ok work-set-runs",
     0},
};

INSTANTIATE_TEST_SUITE_P(Inspector, InspectorJson, testing::ValuesIn(kJsonCases),
                         [](const testing::TestParamInfo<JsonCase>& info) {
                             return std::string(info.param.name);
                         });

// Whether the process that loads an entry's file finds every module it
// needs, where the loader really looks, and whether ordinary users may
// change or slip in one. Each row places its fixtures, "place" or
// "place=fixture" (the fixture is the place's own name unless given), and
// records the first; the last one placed may be reached in a way of its own.
enum class Reach {
    Placed,
    ThroughPath,
    MovedInAtRestart,
    // Put into the system folder instead, for the row only.
    InSystemFolder,
    // Its folder is the one the inspector is started in.
    InInspectorsFolder
};

struct DependencyCase {
    const char* name;
    const char* mode;
    std::vector<std::string> files;
    // As for ExpectReport; a line that begins with "!" must not be there.
    std::vector<std::string> lines;
    DWORD exitCode;
    Reach reach = Reach::Placed;
    // Everyone may add files to the folder of the last one placed.
    bool openFolder = false;
    // The entry's path written with "/" for every backslash.
    bool slashes = false;
    // When set, what the tool's own child ends with when it registers the
    // file: what the loader really did.
    DWORD childExit = 0;
    // When set, why the recorder refuses the file, after "FILE: ".
    const char* refusal = "";
    // Options after the usual ones.
    const char* options = "";
};

void PrintTo(const DependencyCase& row, std::ostream* out) {
    *out << row.name;
}

// Runs the process in a given folder while it lives.
class StartedIn {
  public:
    explicit StartedIn(const std::string& folder) {
        GetCurrentDirectoryA(sizeof(saved_), saved_);
        SetCurrentDirectoryA(folder.c_str());
    }
    ~StartedIn() {
        SetCurrentDirectoryA(saved_);
    }
    StartedIn(const StartedIn&) = delete;
    StartedIn& operator=(const StartedIn&) = delete;

  private:
    char saved_[MAX_PATH] = {};
};

// A file in the system folder for one row, removed again.
class SystemFolderFile {
  public:
    SystemFolderFile(const std::string& fixture, const std::string& name)
        : path_(harness::SystemDirectory() + "\\" + name) {
        placed_ = !harness::FileExists(path_) && CopyFileA(fixture.c_str(), path_.c_str(), TRUE);
        EXPECT_TRUE(placed_) << "could not place " << path_ << ": error " << GetLastError();
    }
    ~SystemFolderFile() {
        if (placed_) {
            harness::RemoveFile(path_);
        }
    }
    SystemFolderFile(const SystemFolderFile&) = delete;
    SystemFolderFile& operator=(const SystemFolderFile&) = delete;

  private:
    std::string path_;
    bool placed_ = false;
};

class InspectorDependencies : public InspectorTest,
                              public testing::WithParamInterface<DependencyCase> {};

TEST_P(InspectorDependencies, SaysWhetherEveryModuleIsFoundWhereItIsSafe) {
    const DependencyCase& row = GetParam();
    std::string last;
    std::unique_ptr<SystemFolderFile> systemFile;
    for (const std::string& file : row.files) {
        std::string fixture =
            harness::FixturePath(file.substr(file.find_last_of("\\=") + 1).c_str());
        std::string place = file.substr(0, file.find('='));
        if (row.reach == Reach::InSystemFolder && &file == &row.files.back()) {
            systemFile.reset(new SystemFolderFile(fixture, place));
        } else {
            last = scratch_.Copy(fixture, place);
        }
    }
    if (row.openFolder) {
        ASSERT_TRUE(harness::GrantEveryone(SE_FILE_OBJECT, harness::FolderOf(last),
                                           FILE_ADD_FILE | FILE_DELETE_CHILD));
    }
    if (row.reach == Reach::ThroughPath) {
        std::string path = std::string(savedPath_.text()) + ";" + harness::FolderOf(last);
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, kEnvironment, "Path",
                                                 REG_EXPAND_SZ, path.c_str(), path.size() + 1));
    } else if (row.reach == Reach::MovedInAtRestart) {
        std::string name = last.substr(last.find_last_of('\\'));
        ASSERT_TRUE(MoveFileExA(last.c_str(), (dir() + name).c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
    }
    std::string recorded = dir() + "\\" + row.files[0];
    if (row.slashes) {
        recorded = harness::ReplaceAll(recorded, "\\", "/");
    }
    ASSERT_TRUE(harness::RecordWorkSets(
        {{"w", With(Entries({{row.mode, row.files[0].c_str()}}), {Sz("1.file", recorded)})}},
        dir()));

    Inspection inspection;
    {
        StartedIn startedIn(row.reach == Reach::InInspectorsFolder ? harness::FolderOf(last)
                                                                   : dir());
        inspection = Inspect("--view=64 --tool=\"" + tool_ + "\" " + row.options, dir());
    }

    std::vector<std::string> wanted;
    for (const std::string& line : row.lines) {
        if (line[0] != '!') {
            wanted.push_back(line);
        } else {
            EXPECT_FALSE(inspection.Has(Expand(line.substr(1)))) << line;
        }
    }
    ExpectReport(inspection, wanted, row.exitCode);
    if (row.childExit != 0) {
        harness::RunResult child = harness::Run("\"" + tool_ + "\" /D" + recorded);
        EXPECT_TRUE(child.finished);
        EXPECT_EQ(row.childExit, child.exitCode);
    }
    if (*row.refusal != '\0') {
        harness::Output refused = harness::RunCapturing(
            harness::Widen("\"" + harness::RecorderPath() + "\" add --view=64 --tool=\"" + tool_ +
                           "\" --work-set=r " + recorded),
            dir());
        std::string line = "pendreg-record: " + recorded + ": " + Expand(row.refusal);
        EXPECT_EQ(2u, refused.exitCode) << refused.text;
        EXPECT_TRUE(refused.Has(line)) << line << "\nnot in:\n" << refused.text;
    }
}

const char kAllFound[] = "    ok   a 64-bit process finds every module it needs";
const std::string kNeeds = "    FAIL needs dephelper.dll, which a 64-bit process ";
const std::string kNotFound = ", which a 64-bit process will not find: not in {dir}, the system "
                              "folder, the Windows folder or PATH";
const std::string kNotInTheToolsFolder = ", which a 64-bit process will not find: not in "
                                         "{dir}\\tool, the system folder, the Windows folder or "
                                         "PATH";
const char kOpenPathFolder[] = "ordinary users may change the folder {dir}\\onpath, where the "
                               "loader looks for the missing dephelper.dll: Everyone may add "
                               "files to it, delete files in it";
const char kOpenHelperFolder[] =
    "ordinary users may change the folder {dir}\\onpath of the module "
    "{dir}\\onpath\\dephelper.dll: Everyone may add files to it, delete files in it";
// A staged file's folder is judged by who may delete files in it: the
// loader never searches it.
const char kOpenNewVersionFolder[] =
    "ordinary users may change the folder {dir}\\new of the new version "
    "{dir}\\new\\dephelper.dll of the module dephelper.dll: Everyone may delete files in it";
// The child ends so when the file calls into a delay-loaded module that the
// loader did not find.
const DWORD kDelayLoadFailed = 0xC06D007E;

const DependencyCase kDependencyCases[] = {
    {"HelperBeside", "D", {"needsdep.dll", "dephelper.dll"}, {kAllFound}, 0},
    {"HelperMissing", "D", {"needsdep.dll"}, {"    FAIL needs dephelper.dll" + kNotFound}, 1},
    // The file's own folder comes before the system folder.
    {"HelperBesideBeforeTheSystemFolder",
     "D",
     {"needsdep.dll", "dephelper.dll", "dephelper.dll=dephelper32.dll"},
     {kAllFound},
     0,
     Reach::InSystemFolder},
    {"HelperOnlyOfTheOtherBitness",
     "D",
     {"needsdep.dll", "dephelper.dll=dephelper32.dll"},
     {kNeeds + "finds only as a 32-bit file: {dir}\\dephelper.dll"},
     1},
    {"HelperOfTheOtherBitnessFirst",
     "D",
     {"needsdep.dll", "dephelper.dll=dephelper32.dll", "onpath\\dephelper.dll"},
     {kNeeds + "finds first as a 32-bit file: {dir}\\dephelper.dll, and the loader stops "
               "there: {dir}\\onpath\\dephelper.dll comes too late"},
     1,
     Reach::ThroughPath},
    {"HelperMissingTwoLevelsDown",
     "D",
     {"deepdep.dll", "needsdep.dll"},
     {"    FAIL needs dephelper.dll (through needsdep.dll)" + kNotFound},
     1},
    {"HelperArrivesAtRestart",
     "D",
     {"needsdep.dll", "new\\dephelper.dll"},
     {"    ok   needs dephelper.dll, which arrives at restart from {dir}\\new\\dephelper.dll",
      kAllFound},
     0,
     Reach::MovedInAtRestart},
    {"HelperArrivesFromAFolderEveryoneMayChange",
     "D",
     {"needsdep.dll", "new\\dephelper.dll"},
     {"    ok   needs dephelper.dll, which arrives at restart from {dir}\\new\\dephelper.dll",
      std::string("    FAIL ") + kOpenNewVersionFolder},
     1,
     Reach::MovedInAtRestart,
     true,
     false,
     0,
     kOpenNewVersionFolder},
    {"HelperFoundThroughPath",
     "D",
     {"needsdep.dll", "onpath\\dephelper.dll"},
     {"    ok   needs dephelper.dll, found through PATH in {dir}\\onpath", kAllFound,
      "    ok   no ordinary user may change the modules it needs, or add one where the loader "
      "looks before them"},
     0,
     Reach::ThroughPath},
    {"HelperFoundThroughAPathFolderEveryoneMayChange",
     "D",
     {"needsdep.dll", "onpath\\dephelper.dll"},
     {"    ok   needs dephelper.dll, found through PATH in {dir}\\onpath", kAllFound,
      std::string("    FAIL ") + kOpenHelperFolder,
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, warnings 0, work sets in the other view 0, "
      "unsafe placements 1, RunOnce values that start the pass 1"},
     1,
     Reach::ThroughPath,
     true,
     false,
     0,
     kOpenHelperFolder},
    {"HelperMissingWithAPathFolderEveryoneMayChange",
     "D",
     {"needsdep.dll", "onpath\\unrelated.tlb=sample.tlb"},
     {"    FAIL needs dephelper.dll" + kNotFound, std::string("    FAIL ") + kOpenPathFolder},
     1,
     Reach::ThroughPath,
     true,
     false,
     0,
     kOpenPathFolder},
    // The pass's current folder is not the inspector's.
    {"HelperInTheFolderTheInspectorIsStartedIn",
     "D",
     {"needsdep.dll", "cwd\\dephelper.dll"},
     {"deps: the pass's current folder is taken as {sys}, which the loader searches after the "
      "Windows folder: *",
      "    FAIL needs dephelper.dll" + kNotFound},
     1,
     Reach::InInspectorsFolder},
    {"PathWrittenWithSlashes",
     "D",
     {"needsdep.dll", "dephelper.dll"},
     {"    WARN the path is written with \"/\": the search order that puts the DLL's own folder "
      "first applies only to a path written with backslashes, so the loader looks for the "
      "modules it needs in {dir}\\tool, the system folder, the Windows folder and PATH (record "
      "it with backslashes)",
      "    FAIL needs dephelper.dll" + kNotInTheToolsFolder +
          "; written with \"/\": the loader searches the tool's folder, not the DLL's"},
     1,
     Reach::Placed,
     false,
     true},
    // The helper beside the DLL is passed by: the tool's child, not the
    // DLL, is the program whose folder the loader searches.
    {"DelayLoadedHelperOnlyBesideTheDll",
     "D",
     {"delayed.dll", "dephelper.dll"},
     {"    WARN delay-loads dephelper.dll" + kNotInTheToolsFolder +
          "; delay-loaded: the loader searches the tool's folder, not the DLL's; the file loads "
          "all the same, and fails only when it calls into it",
      std::string("!") + kAllFound},
     0,
     Reach::Placed,
     false,
     false,
     kDelayLoadFailed},
    {"DelayLoadedHelperMissing",
     "DX",
     {"delayed.dll"},
     {"    WARN delay-loads dephelper.dll, which a 64-bit process will not find: not in the "
      "system folder, the Windows folder or PATH; delay-loaded: the loader searches the folder "
      "of regsvr32.exe, not the DLL's; the file loads all the same, and fails only when it "
      "calls into it",
      std::string("!") + kAllFound,
      "summary: work sets 1, entries run 1, entries skipped 0, work sets that run nothing 0, "
      "work sets that stay 0, checks failed 0, warnings 1, work sets in the other view 0, "
      "unsafe placements 0, RunOnce values that start the pass 1"},
     0},
    // A warning alone leaves the exit code 0; --strict makes it 1.
    {"DelayLoadedHelperMissingStrict",
     "DX",
     {"delayed.dll"},
     {"    WARN delay-loads dephelper.dll*"},
     1,
     Reach::Placed,
     false,
     false,
     0,
     "",
     "--strict"},
    {"ApiSetName", "D", {"apiset.dll"}, {kAllFound}, 0},
    {"ServerWithoutItsHelper",
     "E",
     {"depserver.exe"},
     {"    ok   64-bit executable", "    FAIL needs dephelper.dll" + kNotFound},
     1},
    // Looked for in the side-by-side store: Wine's holds this run-time library.
    {"ManifestAskingForAssemblies",
     "D",
     {"sidebyside.dll"},
     {"    ok   its manifest asks for the side-by-side assembly Microsoft.VC90.CRT 9.0.30729.6161 "
      "(amd64), which is installed in {win}\\WinSxS",
      "    WARN its manifest asks for the side-by-side assembly Pendreg.Test.Absent 1.0.0.0 "
      "(amd64), which is not installed in {win}\\WinSxS: the file loads only once it is "
      "installed there, or lies beside the file as a private assembly",
      kAllFound},
     0},
};

INSTANTIATE_TEST_SUITE_P(Inspector, InspectorDependencies, testing::ValuesIn(kDependencyCases),
                         testing::PrintToStringParamName());

// The cases where the inspector and the pass once disagreed. Each row records
// its work sets and what else it needs, runs the inspector, then the pass
// (after Wine's restart, for the rows whose files are renamed at restart),
// and checks the inspector's lines against what the pass then registered and
// which work sets it left.
enum class Setup { None, KeyDenied, NoExtensions, Renames, DamagedImages, CutTypeLibrary };

struct AgreementCase {
    const char* name;
    std::vector<WorkSet> workSets;
    Setup setup;
    std::vector<std::string> lines;
    DWORD exitCode;
    // "<file> by <program>" per DLL registration, "exe" per server started,
    // "sample type library" when the sample library got registered.
    std::vector<std::string> registered;
    std::vector<std::string> left; // work sets, characters beyond ASCII as <U+XXXX>
    bool restartFirst = false;
    UINT codePage = 0;
    bool needs32BitPrograms = false;
};

std::string BaseName(const std::string& path) {
    return harness::Lower(path.substr(path.find_last_of('\\') + 1));
}

std::vector<std::string> Registered(const harness::RecordLog& log) {
    std::vector<std::string> registered;
    for (const harness::Record& record : log.Read()) {
        if (record.event == "register") {
            registered.push_back(BaseName(record.field("module")) + " by " +
                                 BaseName(record.field("process")));
        } else if (record.event == "exe") {
            registered.push_back("exe");
        }
    }
    if (harness::KeyExists(HKEY_CLASSES_ROOT, kSampleLibId)) {
        registered.push_back("sample type library");
    }
    return registered;
}

std::vector<std::string> LeftWorkSets() {
    harness::AllowEverything(HKEY_LOCAL_MACHINE, harness::kPendingKey);
    std::vector<std::string> left;
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, harness::kPendingKey, 0, KEY_READ, &key);
    wchar_t name[256];
    for (DWORD index = 0, length = 256; RegEnumKeyW(key, index, name, length) == 0; ++index) {
        left.emplace_back();
        for (const wchar_t* at = name; *at != L'\0'; ++at) {
            char escaped[16];
            snprintf(escaped, sizeof(escaped), *at < 0x80 ? "%c" : "<U+%04X>", *at);
            left.back() += escaped;
        }
    }
    RegCloseKey(key);
    return left;
}

// The image with value written over width bytes at offset.
std::string Damaged(std::string image, size_t offset, DWORD value, size_t width) {
    image.replace(offset, width, reinterpret_cast<const char*>(&value), width);
    return image;
}

void Arrange(Setup setup, const harness::ScratchFolder& scratch) {
    std::string dir = scratch.path();
    auto late = [&](const char* from, const char* to) {
        ASSERT_TRUE(
            MoveFileExA((dir + from).c_str(), (dir + to).c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
    };
    std::string image = harness::ReadFile(harness::FixturePath("recorder.dll"));
    DWORD headers = *reinterpret_cast<const DWORD*>(&image[0x3C]);
    switch (setup) {
    case Setup::NoExtensions:
        scratch.Copy(harness::FixturePath("recorder.dll"), "comp.dll");
        scratch.Copy(harness::FixturePath("recorder.dll"), "plain");
        scratch.Copy(harness::FixturePath("exeserver.exe"), "server.exe");
        break;
    case Setup::Renames:
        char shortPath[MAX_PATH];
        scratch.Copy(harness::FixturePath("noexport.dll"), "kept.dll");
        scratch.Copy(harness::FixturePath("recorder.dll"), "new\\kept.dll");
        late("\\new\\kept.dll", "\\kept.dll");
        scratch.Copy(harness::FixturePath("recorder.dll"), "chain-a.dll");
        late("\\chain-a.dll", "\\chain-b.dll");
        late("\\chain-b.dll", "\\chain-c.dll");
        scratch.Copy(harness::FixturePath("recorder.dll"), "staged\\f.dll");
        late("\\staged", "\\later");
        // Deleted under its short name, recorded under its long one.
        scratch.Copy(harness::FixturePath("recorder.dll"), "doomed component.dll");
        GetShortPathNameA((dir + "\\doomed component.dll").c_str(), shortPath, MAX_PATH);
        ASSERT_TRUE(MoveFileExA(shortPath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
        break;
    case Setup::DamagedImages: {
        // Headers that begin 26 bytes before the end of a 4 KB file.
        std::string cut = Damaged(std::string(4096, '\0'), 0, 'M' | 'Z' << 8, 2);
        cut = Damaged(cut, 0x3C, 4070, 4);
        cut.replace(4070, 26, image, headers, 26);
        scratch.Write("headers.dll", cut);
        scratch.Write("sections.dll", Damaged(image, headers + 6, 0xFFFF, 2));
        scratch.Write("cut.dll", image.substr(0, 4096));
        break;
    }
    case Setup::CutTypeLibrary:
        scratch.Write("cut.tlb",
                      harness::ReadFile(harness::FixturePath("sample.tlb")).substr(0, 600));
        break;
    case Setup::None:
    case Setup::KeyDenied:
        break;
    }
}

class InspectorAgreement : public InspectorTest,
                           public testing::WithParamInterface<AgreementCase> {};

TEST_P(InspectorAgreement, SaysWhatThePassThenDoes) {
    const AgreementCase& row = GetParam();
    if (row.codePage != 0 && GetACP() != row.codePage) {
        GTEST_SKIP() << "needs ANSI code page " << row.codePage << ", not " << GetACP();
    }
    if (row.restartFirst && !harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    char wow64[MAX_PATH];
    if (row.needs32BitPrograms && harness::LeftToTheLane()) {
        GTEST_SKIP() << harness::kNo32BitSystem;
    }
    if (row.needs32BitPrograms &&
        (GetSystemWow64DirectoryA(wow64, MAX_PATH) == 0 ||
         !harness::Run("\"" + std::string(wow64) + "\\regsvr32.exe\" /s /u none.dll").finished)) {
        GTEST_SKIP() << "no 32-bit programs run here";
    }
    Arrange(row.setup, scratch_);
    ASSERT_TRUE(harness::RecordWorkSets(row.workSets, dir()));
    if (row.setup == Setup::KeyDenied) {
        ASSERT_TRUE(harness::DenyAccess(harness::kPendingKey, KEY_READ));
    }

    Inspection inspection = Inspect("--view=64 --tool=\"" + tool_ + "\"", dir());
    // Read before the pass changes what there is to inspect.
    if (harness::JqAvailable()) {
        inspection.codes = InspectedCodes(inspection);
        inspection.codesRead = true;
    }
    if (row.restartFirst) {
        // The restart would run the pass itself.
        harness::DeleteRunOnce(kArmName);
        ASSERT_TRUE(harness::RestartWine());
    }
    harness::RunResult pass = harness::Run("\"" + tool_ + "\" /S", nullptr, dir().c_str());

    ExpectReport(inspection, row.lines, row.exitCode);
    ASSERT_TRUE(pass.finished);
    EXPECT_EQ(row.registered, Registered(log_));
    EXPECT_EQ(row.left, LeftWorkSets());
}

// An ignored value before the entries whose name, 9,001 characters, takes
// 18,001 bytes in code page 932: "0" and then the character U+4E2D.
std::vector<Value> LongNameFirst(std::vector<Value> values) {
    std::string name = "0";
    for (int count = 0; count < 9000; ++count) {
        name += "\x92\x86";
    }
    values.insert(values.begin(), Dword(name, 1));
    return values;
}

const AgreementCase kAgreementCases[] = {
    {"WorkSetNamesTheAnsiCodePageCannotHold",
     {{"W?", Entries({{"D", "b.dll"}})},
      {"", Entries({{"D", "a.dll"}}), false, 0, L"W\x4E2D"},
      {"", Entries({{"D", "a.dll"}}), false, 0, L"X\x4E2D"}},
     Setup::None,
     {"work set \"W?\": runs entries 1 to 1, then is deleted", "code: ok work-set-runs",
      "  entry 1 (D): runs \"{tool}\" /D{dir}\\b.dll",
      "work set \"W<U+4E2D>\": stays: its name cannot be held by the ANSI code page; the pass "
      "reads it as \"W?\", which names no work set, so it can neither run it nor delete it",
      "code: fail work-set-name-unheld",
      "work set \"X<U+4E2D>\": stays: its name cannot be held by the ANSI code page; the pass "
      "reads it as \"X?\", which names no work set, so it can neither run it nor delete it",
      "code: fail work-set-name-unheld", "code: fail key-stays"},
     1,
     {"b.dll by pendreg.exe"},
     {"W<U+4E2D>", "X<U+4E2D>"}},
    // Wine's registry does not enforce a refused DELETE; a refused KEY_READ
    // it does, and the subkey then keeps the work set just the same.
    {"UnopenableWorkSetWithASubkey",
     {{"closed", Entries({{"D", "a.dll"}}), true, KEY_READ}},
     Setup::None,
     {"work set \"closed\": runs nothing (it cannot be opened), then is deleted, unless it has a "
      "subkey, which cannot be listed either",
      "code: fail work-set-unopened-unlisted"},
     1,
     {},
     {"closed"}},
    {"PendingKeyThatCannotBeRead",
     {{"w", Entries({{"D", "a.dll"}})}},
     Setup::KeyDenied,
     {"code: fail key-unreadable"},
     1,
     {},
     {"w"}},
    {"NamesWithoutAnExtension",
     {{"w", Entries({{"D", "comp"}, {"D", "plain"}, {"E", "server"}})}},
     Setup::NoExtensions,
     {"    ok   the name has no extension: the loader opens {dir}\\comp.dll",
      "code: ok dll-name-without-extension", "code: ok exports-register",
      "    ok   the name has no extension: the loader opens {dir}\\plain.dll",
      "code: ok dll-name-without-extension", "code: refuse file-missing",
      "  entry 3 (E): runs \"{dir}\\server\" /regserver",
      "    ok   the name has no extension: process creation opens {dir}\\server.exe",
      "code: ok exe-name-without-extension", "    ok   64-bit executable",
      "code: ok executable-bits"},
     1,
     {"comp.dll by pendreg.exe", "exe"},
     {}},
    {"RelativePath",
     {{"w", With(Entries({{"D", "a.dll"}}), {Sz("1.file", "a.dll")})}},
     Setup::None,
     {"code: refuse not-a-full-path"},
     1,
     {"a.dll by pendreg.exe"},
     {}},
    {"RenamesAsTheRestartAppliesThem",
     {{"w", Entries({{"D", "kept.dll"},
                     {"D", "chain-c.dll"},
                     {"D", "later\\f.dll"},
                     {"D", "doomed component.dll"}})}},
     Setup::Renames,
     {"    WARN the pending move of {dir}\\new\\kept.dll onto this file fails at restart: the file "
      "exists and the move was recorded without the replace flag, so the file present now stays "
      "and is the one registered",
      "code: warn pending-move-fails", "code: refuse no-register-export",
      "    ok   file arrives at restart from {dir}\\chain-a.dll",
      "code: ok file-arrives-at-restart",
      "    ok   file arrives at restart from {dir}\\staged\\f.dll",
      "code: ok file-arrives-at-restart", "code: refuse file-deleted-at-restart"},
     1,
     {"chain-c.dll by pendreg.exe", "f.dll by pendreg.exe"},
     {},
     true},
    {"LongValueNameCp932",
     {{"w", LongNameFirst(Entries({{"D", "a.dll"}}))}},
     Setup::None,
     {"  entry 1 (D): runs \"{tool}\" /D{dir}\\a.dll"},
     0,
     {"a.dll by pendreg.exe"},
     {},
     false,
     932},
    {"ThirtyTwoBitDllRecordedAsDx",
     {{"w", Entries({{"DX", "rec32.dll"}})}},
     Setup::None,
     {"code: warn dx-holds-32-bit-dll-for-64-bit-tool", "code: ok exports-register"},
     0,
     {"rec32.dll by regsvr32.exe"},
     {},
     false,
     0,
     true},
    {"DamagedImages",
     {{"w", Entries({{"D", "headers.dll"}, {"D", "sections.dll"}, {"D", "cut.dll"}})}},
     Setup::DamagedImages,
     {"    FAIL damaged image: its headers run past the end of the file",
      "code: refuse damaged-image",
      "    FAIL damaged image: its section table runs past the end of the file",
      "code: refuse damaged-image",
      "    FAIL damaged image: a section runs past the end of the file",
      "code: refuse damaged-image"},
     1,
     {},
     {}},
    {"TypeLibraryCutShort",
     {{"w", Entries({{"T", "cut.tlb"}})}},
     Setup::CutTypeLibrary,
     {"    FAIL does not load as a type library*"},
     1,
     {},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Agreement, InspectorAgreement, testing::ValuesIn(kAgreementCases),
                         [](const testing::TestParamInfo<AgreementCase>& info) {
                             return std::string(info.param.name);
                         });

// Where the files, the tool's copy and the records lie, and what starts the
// pass. Every row records work set "w", whose entry 1 names a file (a.dll,
// replaced at restart by new\\a.dll), with the fixture's RunOnce value armed;
// then it changes one thing through the platform's security functions: adds
// access entries to one object, or gives it to another owner; or it changes
// what RunOnce starts.
struct PlacementCase {
    const char* name;
    const char* opened;  // a path, or a key as "MACHINE\\..."; "" for none
    const char* entries; // access entries added to it, in SDDL
    const char* owner;   // its new owner's SID; "" keeps the owner
    const char* armed;   // the arming value's command instead; "" keeps it
    // The lines wanted, in order, one per "\n"; "{armed}" is the fixture's
    // own arming line.
    const char* lines;
    DWORD exitCode;
    unsigned unsafe;            // as the summary counts them
    bool toolLeaves = false;    // the tool's copy is deleted at restart
    const char* file = "a.dll"; // the entry's file, below the scratch folder
    const char* copyFrom = "";  // where the armed copy arrives from at restart,
                                // below the scratch folder
};

void PrintTo(const PlacementCase& row, std::ostream* out) {
    *out << row.name;
}

const char kArmedLine[] =
    "armed: RunOnce value \"pendreg inspector test\" (64-bit view) runs \"{tool}\" /S when a "
    "member of Administrators next logs on; a standard user's logon does not run it";

class InspectorPlacements : public InspectorTest,
                            public testing::WithParamInterface<PlacementCase> {
  protected:
    // A copy of the tool that a pending rename brings to the armed path.
    void BringCopy(const std::string& from, const std::string& armed) {
        std::string copy = armed.substr(1, armed.find('"', 1) - 1);
        std::string source = scratch_.Copy(harness::ToolPath(), from);
        ASSERT_TRUE(CreateDirectoryA(harness::FolderOf(copy).c_str(), nullptr));
        ASSERT_TRUE(MoveFileExA(source.c_str(), copy.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
    }
    void ChangeObject(const PlacementCase& row) {
        std::string opened = Expand(row.opened);
        SE_OBJECT_TYPE type =
            opened.compare(0, 8, "MACHINE\\") == 0 ? SE_REGISTRY_KEY : SE_FILE_OBJECT;
        ASSERT_TRUE(*row.entries == '\0' || harness::AddAccessEntries(type, opened, row.entries));
        ASSERT_TRUE(*row.owner == '\0' || harness::GiveTo(type, opened, row.owner))
            << opened << " cannot be given to " << row.owner;
    }
};

TEST_P(InspectorPlacements, SaysWhoMayChangeWhatRunsAndWhetherItStarts) {
    const PlacementCase& row = GetParam();
    scratch_.Copy(harness::FixturePath("recorder.dll"), row.file);
    ASSERT_TRUE(harness::RecordWorkSets({{"w", Entries({{"D", row.file}})}}, dir()));
    ASSERT_TRUE(MoveFileExA((dir() + "\\new\\a.dll").c_str(), (dir() + "\\a.dll").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    if (*row.copyFrom != '\0') {
        ASSERT_NO_FATAL_FAILURE(BringCopy(row.copyFrom, Expand(row.armed)));
    }
    ASSERT_NO_FATAL_FAILURE(ChangeObject(row));
    ASSERT_TRUE(*row.armed == '\0' || harness::SetRunOnce(kArmName, Expand(row.armed)));
    ASSERT_TRUE(!row.toolLeaves ||
                MoveFileExA(tool_.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));

    Inspection inspection = Inspect("--view=64 --tool=\"" + tool_ + "\"", dir());

    std::vector<std::string> wanted;
    std::istringstream lines(harness::ReplaceAll(row.lines, "{armed}", kArmedLine));
    for (std::string line; std::getline(lines, line);) {
        wanted.push_back(line);
    }
    ExpectReport(inspection, wanted, row.exitCode);
    ASSERT_FALSE(inspection.lines.empty());
    EXPECT_NE(std::string::npos, inspection.lines.back().find(", unsafe placements " +
                                                              std::to_string(row.unsafe) + ","))
        << inspection.lines.back();
}

const char kWorkSetKey[] = "MACHINE\\Software\\Zelk.Library.Cormant.v3\\w";

// Files and folders take only what Wine can show on them (Everyone, and
// another Unix account as owner); keys take any principal.
const PlacementCase kPlacementCases[] = {
    {"SafeAndArmed", "", "", "", "",
     "    ok   no ordinary user may change the file, its new version or the folders above them\n"
     "{armed}\n  ok   the tool's copy {tool} is there\n"
     "  ok   no ordinary user may change the tool's copy or the folders above it",
     0, 0},
    {"FileWritable", "{dir}\\a.dll", "(A;;0x2;;;WD)", "", "",
     "    FAIL ordinary users may change the file {dir}\\a.dll: Everyone may write to it*", 1, 1},
    // Everyone may also swap the folders below it: the new version's and the
    // tool's copy's.
    {"FolderOpenToNewFiles", "{dir}", "(A;;0x2;;;WD)", "", "",
     "    FAIL ordinary users may change the folder {dir} of the file: Everyone may add files to "
     "it*\n"
     "    FAIL ordinary users may change the folder {dir}\\new of the new version: Everyone may "
     "move it away and make a folder of its name in {dir}\n"
     "  FAIL ordinary users may change the folder {dir}\\tool of the tool's copy: Everyone may "
     "move it away and make a folder of its name in {dir}",
     1, 3},
    {"NewVersionWritable", "{dir}\\new\\a.dll", "(A;;0x2;;;WD)", "", "",
     "    FAIL ordinary users may change the new version {dir}\\new\\a.dll: Everyone may write to "
     "it*",
     1, 1},
    // The loader never searches the new version's folder: what counts is
    // who may delete (or replace) the file there. Wine shows a right to
    // delete files in a folder only with the right to add them (its mode
    // bits), so both are given; adding alone is a row of the access-list
    // table.
    {"NewVersionFolderOpenToDeletion", "{dir}\\new", "(A;;0x42;;;WD)", "", "",
     "    FAIL ordinary users may change the folder {dir}\\new of the new version: Everyone may "
     "delete files in it*",
     1, 1},
    {"FolderOwnedByAnotherAccount", "{dir}\\new", "", "S-1-5-7", "",
     "    FAIL ordinary users may change the folder {dir}\\new of the new version: ANONYMOUS "
     "LOGON owns it*",
     1, 1},
    // C:\Par open, C:\Par\App closed: App can be renamed away and remade.
    {"ParentFolderOpenToEveryone", "{dir}\\par", "(A;;0x2;;;WD)", "", "",
     "    FAIL ordinary users may change the folder {dir}\\par\\app of the file: Everyone may "
     "move it away and make a folder of its name in {dir}\\par",
     1, 1, false, "par\\app\\c.dll"},
    {"ToolCopyWritable", "{tool}", "(A;;0x2;;;WD)", "", "",
     "{armed}\n  FAIL ordinary users may change the tool's copy {tool}: Everyone may write to it*",
     1, 1},
    {"ToolFolderOpenToNewFiles", "{dir}\\tool", "(A;;0x2;;;WD)", "", "",
     "{armed}\n  FAIL ordinary users may change the folder {dir}\\tool of the tool's copy: "
     "Everyone may add files to it*",
     1, 1},
    // Judged where it comes from, not only where it will run.
    {"ToolCopyArrivesFromAnOpenFolder", "{dir}\\pub", "(A;;0x42;;;WD)", "",
     "\"{dir}\\late\\pendreg.exe\" /S",
     "armed: RunOnce value \"pendreg inspector test\" (64-bit view) runs \"{dir}\\late\\"
     "pendreg.exe\" /S when*\n"
     "  ok   the tool's copy {dir}\\late\\pendreg.exe arrives at restart from "
     "{dir}\\pub\\pendreg.exe\n"
     "  FAIL ordinary users may change the folder {dir}\\pub of the tool's copy: Everyone may "
     "delete files in it*",
     1, 1, false, "a.dll", "pub\\pendreg.exe"},
    {"PendingKeyOpenToValues", "MACHINE\\Software\\Zelk.Library.Cormant.v3", "(A;;0x2;;;WD)", "",
     "",
     "FAIL ordinary users may change the pending key HKLM\\Software\\Zelk.Library.Cormant.v3: "
     "Everyone may set values in it",
     1, 1},
    {"WorkSetOpenToUsers", kWorkSetKey, "(A;;0x4;;;BU)", "", "",
     "  FAIL ordinary users may change the work set \"w\": Users may create subkeys in it", 1, 1},
    {"WorkSetWritableByAnAccount", kWorkSetKey, "(A;;0x2;;;S-1-5-21-1-2-3-1001)", "", "",
     "  FAIL ordinary users may change the work set \"w\": S-1-5-21-1-2-3-1001 may set values "
     "in it",
     1, 1},
    {"WorkSetOwnedByAnAccount", kWorkSetKey, "", "S-1-5-21-1-2-3-1001", "",
     "  FAIL ordinary users may change the work set \"w\": S-1-5-21-1-2-3-1001 owns it and may "
     "change its permissions",
     1, 1},
    {"WorkSetPermissionsOpenToRemoteDesktopUsers", kWorkSetKey, "(A;;0x40000;;;S-1-5-32-555)", "",
     "",
     "  FAIL ordinary users may change the work set \"w\": Remote Desktop Users may change its "
     "permissions",
     1, 1},
    // Denied to Everyone, so to Users too, whatever comes after.
    {"WorkSetDeniedToEveryone", kWorkSetKey, "(D;;0x6;;;WD)(A;;0x6;;;BU)", "", "",
     "work set \"w\": runs entries 1 to 1, then is deleted\n  entry 1 (D): runs*", 0, 0},
    // Another program with "/S", or the tool without it, arms nothing.
    {"AnotherProgramArmsNothing", "", "", "", "\"{dir}\\exeserver.exe\" /S",
     "FAIL not armed: no RunOnce value under HKLM starts a copy of the tool with \"/S\", so "
     "nothing runs the pass at the next logon",
     1, 0},
    {"ToolWithoutSArmsNothing", "", "", "", "\"{tool}\" /T{dir}\\sample.tlb", "FAIL not armed: *",
     1, 0},
    {"CopyNotThere", "", "", "", "\"{dir}\\gone\\pendreg.exe\" /S",
     "armed: RunOnce value \"pendreg inspector test\" (64-bit view) runs \"{dir}\\gone\\"
     "pendreg.exe\" /S when*\n  FAIL the tool's copy {dir}\\gone\\pendreg.exe is not there",
     1, 0},
    {"CopyDeletedAtRestart", "", "", "", "",
     "{armed}\n  FAIL the tool's copy {tool} is deleted at restart, before it can run", 1, 0, true},
    {"CopyKnownByItsBytes", "", "", "", "{dir}\\tool\\setup.exe /S",
     "armed: RunOnce value \"pendreg inspector test\" (64-bit view) runs {dir}\\tool\\setup.exe "
     "/S when*\n  ok   the tool's copy {dir}\\tool\\setup.exe is there",
     0, 0},
};

INSTANTIATE_TEST_SUITE_P(Inspector, InspectorPlacements, testing::ValuesIn(kPlacementCases),
                         [](const testing::TestParamInfo<PlacementCase>& info) {
                             return std::string(info.param.name);
                         });

// A mixed work set, then one more: the inspector's command lines are exactly
// those the pass then starts, in the same order. The test program stands in
// for the tool, so that the children that are the tool itself record the line
// they were started with too. Both sides build their lines with the launcher's
// one formatting function, so this test cannot see a wrong format: the rows
// that spell out each command line in full carry that proof.
TEST_F(InspectorTest, PrintsExactlyTheCommandLinesThePassStarts) {
    std::string tool = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
    ASSERT_TRUE(harness::RecordWorkSets({{"mixed", Entries({{"D", "a.dll"},
                                                            {"E", "exeserver.exe"},
                                                            {"Q", "a.dll"},
                                                            {"T", "sample.tlb"},
                                                            {"D", ""},
                                                            {"DX", "b.dll"},
                                                            {"DXY", "b.dll"}})},
                                         {"second", Entries({{"D", "b.dll"}})}},
                                        dir()));

    Inspection inspection = Inspect("--view=64 --tool=\"" + tool + "\"", dir());
    harness::RunResult pass = harness::Run("\"" + tool + "\" /S", nullptr, dir().c_str());

    ASSERT_TRUE(pass.finished);
    std::vector<std::string> started = harness::StartedCommandLines(log_, tool);
    EXPECT_EQ(5u, started.size()) << "D, E, T, DX and the second work set's D";
    EXPECT_EQ(started, harness::PrintedCommandLines(inspection.lines));
}

// Every file below the folder, by path, with its bytes.
std::map<std::string, std::string> FilesBelow(const std::string& folder) {
    std::map<std::string, std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        std::string name = found.cFileName;
        std::string path = folder + "\\" + name;
        if (name == "." || name == "..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            std::map<std::string, std::string> inner = FilesBelow(path);
            files.insert(inner.begin(), inner.end());
        } else {
            files[path] = harness::ReadFile(path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

// What the inspector could change: the pending key in both views, the
// registrations, the delayed moves, and the files.
struct MachineState {
    std::string registry;
    std::map<std::string, std::string> files;
    bool operator==(const MachineState& other) const {
        return registry == other.registry && files == other.files;
    }
};

MachineState Snapshot(const std::string& dir) {
    MachineState state;
    state.registry = harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_64KEY) +
                     harness::DumpKey(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_32KEY) +
                     harness::DumpKey(HKEY_LOCAL_MACHINE, kSessionManager) +
                     harness::DumpKey(HKEY_CLASSES_ROOT, kSampleLibId);
    state.files = FilesBelow(dir);
    return state;
}

// Inspecting every kind of entry, good and bad, leaves the registry and the
// files as they were, starts nothing and runs no code of the files it checks;
// run without --tool, its command lines name the copy that the armed RunOnce
// value starts, as the recorder's add does, not the tool beside it.
TEST_F(InspectorTest, ChangesNothing) {
    ASSERT_TRUE(harness::RecordWorkSets({{"mixed", Entries({{"D", "a.dll"},
                                                            {"E", "exeserver.exe"},
                                                            {"T", "sample.tlb"},
                                                            {"DX", "b.dll"},
                                                            {"TX", "sample.tlb"},
                                                            {"D", "noexport.dll"},
                                                            {"D", "late.dll"},
                                                            {"Q", "a.dll"}})},
                                         {"stuck", Entries({{"D", "b.dll"}}), true},
                                         {"empty", Without(Entries({}), "count")}},
                                        dir()));
    ASSERT_TRUE(
        harness::RecordWorkSets({{"lost", Entries({{"D", "a.dll"}})}}, dir(), KEY_WOW64_32KEY));
    ASSERT_TRUE(MoveFileExA((dir() + "\\new\\a.dll").c_str(), (dir() + "\\late.dll").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    MachineState before = Snapshot(dir());

    Inspection inspection = Inspect("--view=64", dir());

    ExpectReport(inspection,
                 {"tool: {tool} (the copy that the RunOnce value \"" + std::string(kArmName) +
                      "\" starts; its own child is a 64-bit process)",
                  "  entry 1 (D): runs \"{tool}\" /D{dir}\\a.dll"},
                 1);
    EXPECT_GE(inspection.lines.size(), 20u) << "it inspected little";
    EXPECT_TRUE(before == Snapshot(dir())) << "the registry or the files changed";
    EXPECT_EQ(std::vector<std::string>{}, log_.Events()) << "a fixture ran";
}

// The sample report in the installer's guide beside the test program: the block after
// the line that names the test that checks it.
std::string GuideSample() {
    std::istringstream guide(
        harness::ReadFile(harness::FolderOf(harness::TestProgramPath()) + "\\installer-guide.md"));
    std::string sample;
    bool marked = false;
    bool inside = false;
    for (std::string line; std::getline(guide, line);) {
        if (inside && line == "```") {
            break;
        }
        if (inside) {
            sample += line + "\n";
        }
        inside = inside || (marked && line == "```text");
        marked = marked || line.find("<!-- sample report:") != std::string::npos;
    }
    return sample;
}

// The guide's sample report is exactly what the inspector prints for these
// records: the shipped tool's 32-bit view, its copy armed in a folder of its
// own under the Windows folder's Temp, as arm makes it, and the components in
// C:\Program Files\Demo, where an installer puts them. Two things differ by platform and are shown
// as on Windows: the system directory is spelt C:\Windows\system32, and Wine's line on how it reads
// rights is left out.
TEST_F(InspectorTest, PrintsTheGuideSample) {
    if (harness::LeftToTheLane()) {
        GTEST_SKIP() << harness::kNo32BitSystem;
    }
    harness::DeleteRunOnce(kArmName);
    harness::ScratchFolder demo("C:\\Program Files\\Demo");
    harness::ScratchFolder setup("C:\\Windows\\Temp\\pendreg-0a1b2c3d");
    ASSERT_TRUE(harness::KeepToAdministrators(demo.path()));
    ASSERT_TRUE(harness::KeepToAdministrators(setup.path()));
    std::string tool = setup.Copy(harness::ToolPath(), "pendreg.exe");
    ASSERT_TRUE(harness::SetRunOnce(kSampleArmName, "\"" + tool + "\" /S"));
    std::string component = demo.Copy(harness::FixturePath("recorder32.dll"), "component.dll");
    std::string update = demo.Copy(harness::FixturePath("recorder32.dll"), "component.new");
    ASSERT_TRUE(MoveFileExA(update.c_str(), component.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
    demo.Copy(harness::FixturePath("exeserver.exe"), "shared\\server.exe");
    ASSERT_TRUE(harness::GrantEveryone(SE_FILE_OBJECT, demo.path() + "\\shared",
                                       FILE_ADD_FILE | FILE_DELETE_CHILD));
    demo.Copy(harness::FixturePath("recorder.dll"), "component64.dll");
    ASSERT_TRUE(harness::RecordWorkSets(
        {{"Demo 1.0", With(Entries({{"D", "component.dll"},
                                    {"DXY", "component.dll"},
                                    {"E", "shared\\server.exe"},
                                    {"D", "component64.dll"},
                                    {"TX", "example.tlb"}}),
                           {Dword("count", 7), Sz("9.mode", "D"), Sz("9.file", "{dir}\\x.dll")})},
         {"Old 0.9", With(Entries({}), {Dword("count", 0)}), true}},
        demo.path(), KEY_WOW64_32KEY));
    ASSERT_TRUE(harness::RecordWorkSets({{"Demo 1.0 x64", Entries({{"D", "component.dll"}})}},
                                        demo.path(), KEY_WOW64_64KEY));

    Inspection inspection = Inspect("--tool=\"" + tool + "\"", dir());

    std::string report;
    for (const std::string& line : inspection.lines) {
        if (!harness::RunningUnderWine() || line.compare(0, 8, "safety: ") != 0) {
            report +=
                harness::ReplaceAll(line, harness::SystemDirectory(), "C:\\Windows\\system32") +
                "\n";
        }
    }
    std::string sample = GuideSample();
    ASSERT_FALSE(sample.empty()) << "no sample report in the guide beside the test program";
    EXPECT_EQ(sample, report);
    EXPECT_EQ(1u, inspection.exitCode);
}

} // namespace

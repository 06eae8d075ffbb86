// The inspector's verdicts, one row each: the line it prints, the codes and
// outcomes of its findings, and its exit code.
#include "InspectorFixture.h"

namespace {

using namespace inspector_test;

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

} // namespace

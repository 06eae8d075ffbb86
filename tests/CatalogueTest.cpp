// The catalogue of findings: every code's words, filled with sample
// arguments, give exactly the line the reports print; every code is worded
// here once and listed in the guide with its outcome; and the JSON that the
// companions write escapes what a string may hold.
#include "checks/text/Catalogue.h"
#include "checks/text/Json.h"
#include "harness/Harness.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

struct WordingCase {
    FindingCode code;
    std::vector<FindingArgument> arguments;
    const char* line;
};

void PrintTo(const WordingCase& row, std::ostream* out) {
    *out << CodeName(row.code);
}

// Paths and numbers fill the words as the checks pass them; an About path is
// what the finding is about and is never spelt on its own.
const WordingCase kWordingCases[] = {
    {FindingCode::TxRegistersNothing,
     {},
     "TX runs regsvr32.exe, which does not register type libraries: record the library as T, or "
     "register it from a 64-bit DLL"},
    {FindingCode::DevicePath,
     {},
     "names a device or a volume, not a file on a drive or a share: no check can tell which file "
     "it is"},
    {FindingCode::NotAFullPath,
     {},
     "not a full path: which file is registered depends on the folder the pass is started in and "
     "on the search path"},
    {FindingCode::DllNameWithoutExtension,
     {Path(std::string("C:\\App\\x.dll"))},
     "the name has no extension: the loader opens C:\\App\\x.dll"},
    {FindingCode::ExeNameWithoutExtension,
     {Path(std::string("C:\\App\\x.exe"))},
     "the name has no extension: process creation opens C:\\App\\x.exe"},
    {FindingCode::FileOutOfReach,
     {Words("is on a removable drive (E:)")},
     "the file is on a removable drive (E:)"},
    {FindingCode::NewVersionOutOfReach,
     {Path(std::string("E:\\x.new")), Words("is on a removable drive (E:)")},
     "the new version E:\\x.new is on a removable drive (E:)"},
    {FindingCode::FileDeletedAtRestart,
     {},
     "the file is deleted at restart, before the pass can run"},
    {FindingCode::FileMovedAwayAtRestart,
     {Path(std::string("C:\\App\\away.dll"))},
     "the file is moved away to C:\\App\\away.dll at restart, before the pass can run"},
    {FindingCode::PendingMoveFails,
     {Path(std::string("C:\\App\\new.dll"))},
     "the pending move of C:\\App\\new.dll onto this file fails at restart: the file exists and "
     "the move was recorded without the replace flag, so the file present now stays and is the one "
     "registered"},
    {FindingCode::FileSourceMissing,
     {Path(std::string("C:\\App\\gone.dll"))},
     "file not found: the pending move that would put it in place fails at restart, as "
     "C:\\App\\gone.dll is not there"},
    {FindingCode::FileMissing, {}, "file not found, and no pending rename creates it"},
    {FindingCode::FileReplacedAtRestart,
     {Path(std::string("C:\\App\\x.new"))},
     "file present, replaced at restart from C:\\App\\x.new"},
    {FindingCode::FileArrivesAtRestart,
     {Path(std::string("C:\\App\\new\\x.dll"))},
     "file arrives at restart from C:\\App\\new\\x.dll"},
    {FindingCode::FilePresent, {}, "file present"},
    {FindingCode::FileUnreadable, {Number(5u)}, "cannot be read (error 5)"},
    {FindingCode::DamagedImage,
     {Words("its headers run past the end of the file")},
     "damaged image: its headers run past the end of the file"},
    {FindingCode::NotADll, {}, "not a DLL"},
    {FindingCode::DxHolds32BitDll,
     {},
     "32-bit DLL recorded as DX: the 64-bit regsvr32.exe hands it to the 32-bit regsvr32.exe, "
     "which registers it; record it as D, and the tool's own 32-bit child registers it"},
    {FindingCode::DxHolds32BitDllFor64BitTool,
     {},
     "32-bit DLL recorded as DX: the 64-bit regsvr32.exe hands it to the 32-bit regsvr32.exe, "
     "which registers it; D is for the 32-bit tool, whose own child is 32-bit"},
    {FindingCode::DllNeedsDx,
     {Number(64u), Number(32u)},
     "64-bit DLL: the tool's own 32-bit child cannot load it (record it as DX)"},
    {FindingCode::DllOtherBitness,
     {Number(32u), Number(64u)},
     "32-bit DLL: the tool's own 64-bit child cannot load it"},
    {FindingCode::DllBits, {Number(32u)}, "32-bit DLL"},
    {FindingCode::ExportsRegister, {}, "exports DllRegisterServer"},
    {FindingCode::NoRegisterExport,
     {},
     "does not export DllRegisterServer: nothing would be registered"},
    {FindingCode::ExecutableBits, {Number(64u)}, "64-bit executable"},
    {FindingCode::DllNotExecutable, {}, "a DLL, not an executable (record it as D or DX)"},
    {FindingCode::NotAnExecutable, {}, "not an executable"},
    {FindingCode::TypeLibraryLoads, {}, "loads as a type library"},
    {FindingCode::NotATypeLibrary, {}, "does not load as a type library"},
    {FindingCode::TypeLibraryLoaderCrashed,
     {Number(3221225477ull)},
     "does not load as a type library: the loader crashed on it (exception 0xC0000005), and so "
     "will the tool's child"},
    {FindingCode::TypeLibraryLoadUnfinished,
     {},
     "does not load as a type library: the loader did not finish with it"},
    {FindingCode::TypeLibraryProbeFailed,
     {Number(2u)},
     "could not be loaded as a type library: the probe did not start (error 2)"},
    {FindingCode::PathWithSlashes,
     {Words("C:\\d, the system folder, the Windows folder and PATH")},
     "the path is written with \"/\": the search order that puts the DLL's own folder first "
     "applies only to a path written with backslashes, so the loader looks for the modules it "
     "needs in C:\\d, the system folder, the Windows folder and PATH (record it with backslashes)"},
    {FindingCode::ModuleMissing,
     {Words("needs helper.dll (through a.dll)"), Number(32u),
      Words("C:\\d, the system folder, the Windows folder or PATH"), Words(""), Words("; why")},
     "needs helper.dll (through a.dll), which a 32-bit process will not find: not in C:\\d, the "
     "system folder, the Windows folder or PATH; why"},
    {FindingCode::ModuleOtherBitness,
     {Words("needs helper.dll"), Number(64u), Words("first"), Number(32u),
      Path(std::string("C:\\d\\helper.dll")),
      Words(", and the loader stops there: C:\\e\\helper.dll comes too late"), Words("")},
     "needs helper.dll, which a 64-bit process finds first as a 32-bit file: C:\\d\\helper.dll, "
     "and the loader stops there: C:\\e\\helper.dll comes too late"},
    {FindingCode::ModuleUnusable,
     {Words("needs helper.dll"), Number(32u), Words("only"), Path(std::string("C:\\d\\helper.dll")),
      Words(""), Words("")},
     "needs helper.dll, which a 32-bit process finds only as C:\\d\\helper.dll, which is no image "
     "it can load"},
    {FindingCode::DelayedModuleMissing,
     {Words("delay-loads helper.dll"), Number(32u),
      Words("C:\\t, the system folder, the Windows folder or PATH"), Words(""),
      Words("; delay-loaded: the loader searches the tool's folder, not the DLL's"),
      Words("the file")},
     "delay-loads helper.dll, which a 32-bit process will not find: not in C:\\t, the system "
     "folder, the Windows folder or PATH; delay-loaded: the loader searches the tool's folder, not "
     "the DLL's; the file loads all the same, and fails only when it calls into it"},
    {FindingCode::DelayedModuleOtherBitness,
     {Words("needs x.dll (through helper.dll)"), Number(64u), Words("only"), Number(32u),
      Path(std::string("C:\\d\\x.dll")), Words(""), Words(""),
      Words("helper.dll is delay-loaded, so the file")},
     "needs x.dll (through helper.dll), which a 64-bit process finds only as a 32-bit file: "
     "C:\\d\\x.dll; helper.dll is delay-loaded, so the file loads all the same, and fails only "
     "when it calls into it"},
    {FindingCode::DelayedModuleUnusable,
     {Words("delay-loads helper.dll"), Number(32u), Words("only"),
      Path(std::string("C:\\d\\helper.dll")), Words(""), Words(""), Words("the file")},
     "delay-loads helper.dll, which a 32-bit process finds only as C:\\d\\helper.dll, which is no "
     "image it can load; the file loads all the same, and fails only when it calls into it"},
    {FindingCode::ModuleArrivesAtRestart,
     {Words("needs helper.dll"), Path(std::string("C:\\d\\new\\helper.dll")), Words("")},
     "needs helper.dll, which arrives at restart from C:\\d\\new\\helper.dll"},
    {FindingCode::ModuleFoundThroughPath,
     {Words("needs helper.dll"), Path(std::string("C:\\Shared")), Words("")},
     "needs helper.dll, found through PATH in C:\\Shared"},
    {FindingCode::ModuleInToolFolder,
     {Words("needs helper.dll"), Path(std::string("C:\\Tool")), Words("")},
     "needs helper.dll, found in the tool's folder C:\\Tool"},
    {FindingCode::ModulesFound, {Number(32u)}, "a 32-bit process finds every module it needs"},
    {FindingCode::AssemblyInstalled,
     {Words("its manifest"), Words("Microsoft.VC90.CRT"), Words("9.0.30729.6161"), Words("amd64"),
      Path(std::string("C:\\Windows\\WinSxS"))},
     "its manifest asks for the side-by-side assembly Microsoft.VC90.CRT 9.0.30729.6161 (amd64), "
     "which is installed in C:\\Windows\\WinSxS"},
    {FindingCode::AssemblyRedirected,
     {Words("its manifest"), Words("Microsoft.VC90.CRT"), Words("9.0.21022.8"), Words("x86"),
      Words("9.0.30729.6161"), Path(std::string("C:\\Windows\\WinSxS"))},
     "its manifest asks for the side-by-side assembly Microsoft.VC90.CRT 9.0.21022.8 (x86), which "
     "its publisher's policy redirects to 9.0.30729.6161, installed in C:\\Windows\\WinSxS"},
    {FindingCode::AssemblyMissing,
     {Words("the manifest of helper.dll"), Words("Example.Runtime"), Words("1.0.0.0"), Words("*"),
      Path(std::string("C:\\Windows\\WinSxS"))},
     "the manifest of helper.dll asks for the side-by-side assembly Example.Runtime 1.0.0.0 (*), "
     "which is not installed in C:\\Windows\\WinSxS: the file loads only once it is installed "
     "there, or lies beside the file as a private assembly"},
    {FindingCode::StoredPathUnheld,
     {Path(std::string("C:\\d\\<U+4E2D>.dll")), Path(std::string("C:\\d\\?.dll"))},
     "the ANSI code page cannot hold the stored path: stored \"C:\\d\\<U+4E2D>.dll\", the tool "
     "reads \"C:\\d\\?.dll\""},
    {FindingCode::PermissionsUnreadable,
     {Words("the file C:\\d\\a.dll"), Number(5u)},
     "cannot tell who may change the file C:\\d\\a.dll: its permissions cannot be read (error 5)"},
    {FindingCode::FileUsersMayChange,
     {Words("the file C:\\d\\a.dll"), Words("Everyone may write it")},
     "ordinary users may change the file C:\\d\\a.dll: Everyone may write it"},
    {FindingCode::FolderUsersMayChange,
     {Words("the folder C:\\d of the file"),
      Words("Everyone may add files to it, delete files in it")},
     "ordinary users may change the folder C:\\d of the file: Everyone may add files to it, delete "
     "files in it"},
    {FindingCode::KeyUsersMayChange,
     {Words("the work set \"w\""), Words("Users may set values in it")},
     "ordinary users may change the work set \"w\": Users may set values in it"},
    {FindingCode::FileSafe, {}, "no ordinary user may change the file or the folders above it"},
    {FindingCode::NewVersionSafe,
     {},
     "no ordinary user may change the file, its new version or the folders above them"},
    {FindingCode::ModulesSafe,
     {},
     "no ordinary user may change the modules it needs, or add one where the loader looks before "
     "them"},
    {FindingCode::CopySafe,
     {},
     "no ordinary user may change the tool's copy or the folders above it"},
    {FindingCode::CopyNotAFullPath,
     {Path(std::string("pendreg.exe"))},
     "the tool's copy pendreg.exe is not named by a full path: which program starts depends on the "
     "search path"},
    {FindingCode::CopyDeletedAtRestart,
     {Path(std::string("C:\\t\\pendreg.exe"))},
     "the tool's copy C:\\t\\pendreg.exe is deleted at restart, before it can run"},
    {FindingCode::CopyMovedAwayAtRestart,
     {Path(std::string("C:\\t\\pendreg.exe")), Path(std::string("C:\\t\\old.exe"))},
     "the tool's copy C:\\t\\pendreg.exe is moved away to C:\\t\\old.exe at restart, before it can "
     "run"},
    {FindingCode::CopyMissing,
     {Path(std::string("C:\\t\\pendreg.exe"))},
     "the tool's copy C:\\t\\pendreg.exe is not there"},
    {FindingCode::CopyArrivesAtRestart,
     {Path(std::string("C:\\t\\pendreg.exe")), Path(std::string("C:\\s\\pendreg.exe"))},
     "the tool's copy C:\\t\\pendreg.exe arrives at restart from C:\\s\\pendreg.exe"},
    {FindingCode::CopyPresent,
     {Path(std::string("C:\\t\\pendreg.exe"))},
     "the tool's copy C:\\t\\pendreg.exe is there"},
    {FindingCode::WorkSetRuns,
     {Words("w"), Number(4u)},
     "work set \"w\": runs entries 1 to 4, then is deleted"},
    {FindingCode::WorkSetHasSubkey,
     {Words("w"), Number(1u)},
     "work set \"w\": runs entries 1 to 1, then stays: it has a subkey, so the pass cannot delete "
     "it and every later pass runs it again"},
    {FindingCode::WorkSetDeleteRefused,
     {Words("w"), Number(1u)},
     "work set \"w\": runs entries 1 to 1, then stays: its access list refuses the pass DELETE, so "
     "every later pass runs it again"},
    {FindingCode::WorkSetRunsNothing,
     {Words("w"), Words("\"count\" is 0")},
     "work set \"w\": runs nothing (\"count\" is 0), then is deleted"},
    {FindingCode::WorkSetRunsNothingHasSubkey,
     {Words("w"), Words("\"count\" is missing")},
     "work set \"w\": runs nothing (\"count\" is missing), then stays: it has a subkey, so the "
     "pass cannot delete it and every later pass runs it again"},
    {FindingCode::WorkSetRunsNothingDeleteRefused,
     {Words("w"), Words("it cannot be opened")},
     "work set \"w\": runs nothing (it cannot be opened), then stays: its access list refuses the "
     "pass DELETE, so every later pass runs it again"},
    {FindingCode::WorkSetUnopenedUnlisted,
     {Words("w")},
     "work set \"w\": runs nothing (it cannot be opened), then is deleted, unless it has a subkey, "
     "which cannot be listed either"},
    {FindingCode::WorkSetUnopened,
     {Words("w")},
     "work set \"w\": deleted without running anything: it cannot be opened"},
    {FindingCode::WorkSetNameUnheld,
     {Words("W<U+03A9>"), Words("W?")},
     "work set \"W<U+03A9>\": stays: its name cannot be held by the ANSI code page; the pass reads "
     "it as \"W?\", which names no work set, so it can neither run it nor delete it"},
    {FindingCode::WorkSetNameTaken,
     {Words("W<U+03A9>"), Words("W?"), Words("W?")},
     "work set \"W<U+03A9>\": its name cannot be held by the ANSI code page; the pass reads it as "
     "\"W?\" and takes work set \"W?\" in its place:"},
    {FindingCode::EntryRuns,
     {Number(1u), Words("D"), Words("\"C:\\t\\pendreg.exe\" /DC:\\d\\a.dll")},
     "entry 1 (D): runs \"C:\\t\\pendreg.exe\" /DC:\\d\\a.dll"},
    {FindingCode::ValueMissing,
     {Number(2u), Words("2.mode")},
     "entry 2: skipped: \"2.mode\" is missing"},
    {FindingCode::ValueNotAString,
     {Number(2u), Words("2.file")},
     "entry 2: skipped: \"2.file\" is not a REG_SZ"},
    {FindingCode::ModeTooLong,
     {Number(2u), Words("2.mode")},
     "entry 2: skipped: \"2.mode\" is too long: a mode has at most 2 characters"},
    {FindingCode::FileValueTooLong,
     {Number(2u), Words("2.file")},
     "entry 2: skipped: \"2.file\" is too long: a file path has at most 1023 bytes"},
    {FindingCode::FileValueEmpty,
     {Number(2u), Words("D")},
     "entry 2 (D): skipped: the file value is empty"},
    {FindingCode::KindUnknown,
     {Number(2u), Words("Q")},
     "entry 2 (Q): skipped: the kind letter is not D, E or T"},
    {FindingCode::CommandLineTooLong,
     {Number(2u), Words("E"), Number(1023u)},
     "entry 2 (E): skipped: its command line would be longer than 1023 characters (bytes in the "
     "ANSI code page)"},
    {FindingCode::EntryWithoutValues, {Number(2u)}, "entry 2: skipped: it has no values"},
    {FindingCode::EntriesWithoutValues,
     {Number(4u), Number(6u)},
     "entries 4 to 6: skipped: they have no values"},
    {FindingCode::ManyEntriesWithoutValues,
     {Number(2u), Number(4294967295ull)},
     "entries 2 to 4294967295: skipped: they have no values; the pass still tries every one of "
     "these numbers, which can take hours"},
    {FindingCode::EntryBeyondCount,
     {Number(9u), Number(7u)},
     "entry 9: never run: it lies beyond \"count\" (7)"},
    {FindingCode::KeyStays, {}, "the key stays too, with the work sets that stay"},
    {FindingCode::KeyMissing, {}, "no work sets: the key is not there"},
    {FindingCode::KeyUnreadable,
     {},
     "the key is there but cannot be opened for reading: the pass runs nothing, and the key stays "
     "with all its work sets"},
    {FindingCode::OtherView,
     {Words("Demo x64"), Number(64u)},
     "other view: work set \"Demo x64\" lies in the 64-bit view, which the tool never reads"},
    {FindingCode::Armed,
     {Words("pendreg"), Number(64u), Words("\"C:\\t\\pendreg.exe\" /S")},
     "armed: RunOnce value \"pendreg\" (64-bit view) runs \"C:\\t\\pendreg.exe\" /S when a member "
     "of Administrators next logs on; a standard user's logon does not run it"},
    {FindingCode::NotArmed,
     {},
     "not armed: no RunOnce value under HKLM starts a copy of the tool with \"/S\", so nothing "
     "runs the pass at the next logon"},
    {FindingCode::ArmedSeveralTimes,
     {Number(2u)},
     "2 RunOnce values start the pass: the first to run runs every work set, and the others find "
     "nothing left to do"},
    {FindingCode::NothingRecorded,
     {},
     "nothing recorded: no work set, and no RunOnce value starts the pass"},
    {FindingCode::CarriedOut,
     {Words("mine")},
     "carried out: work set \"mine\" is gone, and the recorder noted entries for it: the pass has "
     "run it and deleted it"},
    {FindingCode::NothingRecordedFor,
     {Words("mine")},
     "nothing recorded for \"mine\": no work set of that name, and the recorder noted nothing for "
     "it (a misspelt name, or an add that never ran)"},
};

class Wording : public testing::TestWithParam<WordingCase> {};

TEST_P(Wording, IsTheLineTheReportsPrint) {
    const WordingCase& row = GetParam();
    Finding finding = {row.code, OutcomeOf(row.code), row.arguments};
    EXPECT_EQ(row.line, FindingText(finding));
    // What a finding is about adds nothing to its words.
    finding.arguments.push_back(About(std::string("C:\\about\\it.dll")));
    EXPECT_EQ(row.line, FindingText(finding));
}

INSTANTIATE_TEST_SUITE_P(Catalogue, Wording, testing::ValuesIn(kWordingCases),
                         [](const testing::TestParamInfo<WordingCase>& info) {
                             std::string name;
                             for (const char* at = CodeName(info.param.code); *at != '\0'; ++at) {
                                 name += *at == '-' ? '_' : *at;
                             }
                             return name;
                         });

// A code added to the catalogue gets its row above.
TEST(Catalogue, EveryCodeIsWordedOnce) {
    std::set<std::string> worded;
    for (const WordingCase& row : kWordingCases) {
        EXPECT_TRUE(worded.insert(CodeName(row.code)).second) << CodeName(row.code);
    }
    EXPECT_EQ(kFindingCodeCount, worded.size());
}

// The guide's list of codes (docs/installer-guide.md, copied beside the test
// program): one line "- `code` (outcome): `words`" per code, after the line
// that marks it, up to the first line that is not an item.
std::map<std::string, std::string> GuideCodes() {
    std::istringstream guide(
        harness::ReadFile(harness::FolderOf(harness::TestProgramPath()) + "\\installer-guide.md"));
    std::map<std::string, std::string> codes;
    bool inside = false;
    for (std::string line; std::getline(guide, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find("<!-- codes:") != std::string::npos) {
            inside = true;
            continue;
        }
        if (inside && line.compare(0, 3, "- `") != 0) {
            if (!codes.empty()) {
                break;
            }
            continue;
        }
        size_t end = line.find('`', 3);
        size_t open = line.find(" (", end);
        size_t close = line.find("):", open);
        if (inside && end != std::string::npos && open == end + 1 && close != std::string::npos) {
            codes[line.substr(3, end - 3)] = line.substr(open + 2, close - open - 2);
        }
    }
    return codes;
}

TEST(Catalogue, EveryCodeIsInTheGuideWithItsOutcome) {
    std::map<std::string, std::string> listed = GuideCodes();
    ASSERT_FALSE(listed.empty()) << "no list of codes in the guide beside the test program";
    std::set<std::string> known;
    for (unsigned index = 0; index < kFindingCodeCount; ++index) {
        FindingCode code = static_cast<FindingCode>(index);
        known.insert(CodeName(code));
        auto found = listed.find(CodeName(code));
        ASSERT_NE(listed.end(), found) << CodeName(code) << " is not in the guide";
        EXPECT_EQ(OutcomeName(OutcomeOf(code)), found->second) << CodeName(code);
    }
    for (const auto& item : listed) {
        EXPECT_EQ(1u, known.count(item.first)) << item.first << " is in the guide only";
    }
}

struct EscapeCase {
    const char* name;
    std::string text;
    const char* json;
};

// Strings arrive in the ANSI code page (1252 on the test machines, where
// "\xE9" is e acute); the document is ASCII whatever the page.
const EscapeCase kEscapeCases[] = {
    {"Plain", "C:\\Program Files\\a.dll", "\"C:\\\\Program Files\\\\a.dll\""},
    {"Quotes", "work set \"w\"", "\"work set \\\"w\\\"\""},
    {"ControlCharacters",
     std::string("a\tb\nc\rd\x01"
                 "e\x1f"
                 "f",
                 11),
     "\"a\\tb\\nc\\rd\\u0001e\\u001ff\""},
    {"Delete", "a\x7f", "\"a\\u007f\""},
    {"NotAscii", "caf\xE9", "\"caf\\u00e9\""},
    {"Empty", "", "\"\""},
};

class JsonEscapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscapes, WritesAValidString) {
    const EscapeCase& row = GetParam();
    if (GetACP() != 1252 && row.text.find('\xE9') != std::string::npos) {
        GTEST_SKIP() << "the row is written for code page 1252";
    }
    JsonWriter json;
    json.String(row.text);
    EXPECT_EQ(row.json, json.text());
}

INSTANTIATE_TEST_SUITE_P(Catalogue, JsonEscapes, testing::ValuesIn(kEscapeCases),
                         [](const testing::TestParamInfo<EscapeCase>& info) {
                             return std::string(info.param.name);
                         });

// A finding as programs read it: its code, outcome, the paths it is about
// (spelt or not), its numbers and its line; members and elements separated
// as JSON wants them.
TEST(Catalogue, WritesAFindingAsAnObject) {
    JsonWriter json;
    json.Open('[');
    WriteFinding(json, MakeFinding(FindingCode::DllNeedsDx,
                                   {Number(64), Number(32), About(std::string("C:\\d\\a.dll"))}));
    WriteFinding(json, MakeFinding(FindingCode::FileMissing));
    json.Close(']');
    EXPECT_EQ("[{\"code\":\"dll-needs-dx\",\"outcome\":\"refuse\",\"paths\":[\"C:\\\\d\\\\a.dll\"],"
              "\"numbers\":[64,32],\"message\":\"64-bit DLL: the tool's own 32-bit child cannot "
              "load it (record it as DX)\"},{\"code\":\"file-missing\",\"outcome\":\"refuse\","
              "\"paths\":[],\"numbers\":[],\"message\":\"file not found, and no pending rename "
              "creates it\"}]",
              json.text());
}

} // namespace

// The cases where the inspector and the pass once disagreed: each runs the
// inspector, then the pass, and checks the lines against what the pass did.
#include "InspectorFixture.h"

namespace {

using namespace inspector_test;

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

} // namespace

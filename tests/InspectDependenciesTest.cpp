// Whether every module a file imports is found, and found where ordinary
// users cannot slip in one of their own.
#include "InspectorFixture.h"

namespace {

using namespace inspector_test;

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

} // namespace

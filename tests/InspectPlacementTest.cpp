// Who may change what an entry runs, and whether the pass starts.
#include "InspectorFixture.h"

namespace {

using namespace inspector_test;

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

} // namespace

// The inspector as a whole: the command lines it prints are those the pass
// then starts; inspecting changes nothing; and the installer's guide shows
// what it really prints.
#include "InspectorFixture.h"

namespace {

using namespace inspector_test;

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

// A folder right under the root of a volume can be swapped like any other:
// whoever may delete in the root and make folders there may move it away and
// put a folder of their own in its place. The root is a drive of the test's
// own, mapped to a scratch folder whose rights the row sets, so that the
// prefix's C:\ is left alone.
#include "checks/trust/Placements.h"
#include "harness/Harness.h"
#include "harness/Placement.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Under Wine a drive is a link in the prefix's dosdevices folder, made with
// the Unix ln, which Wine starts as a Unix program; elsewhere the platform
// maps one.
class Drive {
  public:
    explicit Drive(const std::string& folder) {
        DWORD used = GetLogicalDrives();
        for (char letter = 'P'; letter <= 'Y' && root_.empty(); ++letter) {
            if ((used & (1u << (letter - 'A'))) == 0) {
                root_ = std::string(1, letter) + ":\\";
            }
        }
        if (root_.empty()) {
            ADD_FAILURE() << "no drive letter is free";
            return;
        }
        mapped_ = harness::RunningUnderWine()
                      ? Link("/bin/ln -s", folder)
                      : DefineDosDeviceA(0, device().c_str(), folder.c_str()) != 0;
        EXPECT_TRUE(mapped_) << "could not map " << root_ << " to " << folder;
    }
    ~Drive() {
        if (!mapped_) {
            return;
        }
        if (harness::RunningUnderWine()) {
            Link("/bin/rm", "");
        } else {
            DefineDosDeviceA(DDD_REMOVE_DEFINITION, device().c_str(), nullptr);
        }
    }
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;

    const std::string& root() const {
        return root_;
    }

  private:
    std::string device() const {
        return root_.substr(0, 2);
    }
    // Runs "command [target] link" and waits until the drive is there, or
    // gone when no target is given.
    bool Link(const std::string& command, const std::string& folder) {
        std::string devices = harness::UnixPathOf("C:\\");
        size_t at = devices.find("/dosdevices/");
        if (at == std::string::npos) {
            return false;
        }
        std::string link = devices.substr(0, at) + "/dosdevices/" +
                           std::string(1, static_cast<char>(tolower(root_[0]))) + ":";
        if (!harness::StartUnixProgram(
                command + (folder.empty() ? "" : " \"" + harness::UnixPathOf(folder) + "\"") +
                " \"" + link + "\"")) {
            return false;
        }
        bool wanted = !folder.empty();
        for (int tries = 0; tries < 100 && harness::FileExists(root_) != wanted; ++tries) {
            Sleep(50);
        }
        return harness::FileExists(root_) == wanted;
    }

    std::string root_;
    bool mapped_ = false;
};

struct RootCase {
    const char* name;
    bool rootOpen; // Everyone may add folders to the root and delete in it
    const char* file;
    // The failure wanted, "{root}" for the drive's root; "" for none.
    const char* failure;
};

void PrintTo(const RootCase& row, std::ostream* out) {
    *out << row.name;
}

const RootCase kRootCases[] = {
    {"FolderRightUnderAnOpenRoot", true, "app\\a.dll",
     "ordinary users may change the folder {root}app of the file: Everyone may move it away and "
     "make a folder of its name in {root}"},
    {"FolderTwoBelowAnOpenRoot", true, "app\\sub\\a.dll",
     "ordinary users may change the folder {root}app above the file: Everyone may move it away "
     "and make a folder of its name in {root}"},
    {"FileInAnOpenRoot", true, "a.dll",
     "ordinary users may change the folder {root} of the file: Everyone may add files to it"},
    {"FolderRightUnderAClosedRoot", false, "app\\a.dll", ""},
};

class VolumeRoot : public testing::TestWithParam<RootCase> {};

TEST_P(VolumeRoot, FoldersRightUnderItAreJudgedForASwap) {
    const RootCase& row = GetParam();
    harness::ScratchFolder scratch;
    std::string volume = scratch.path() + "\\volume";
    ASSERT_TRUE(CreateDirectoryA(volume.c_str(), nullptr));
    Drive drive(volume);
    ASSERT_FALSE(drive.root().empty());
    std::string file = drive.root() + row.file;
    scratch.Copy(harness::FixturePath("recorder.dll"), std::string("volume\\") + row.file);
    for (std::string folder = harness::FolderOf(file); folder.size() > 3;
         folder = harness::FolderOf(folder)) {
        ASSERT_TRUE(harness::KeepToAdministrators(folder)) << folder;
    }
    ASSERT_TRUE(!row.rootOpen ||
                harness::GrantEveryone(SE_FILE_OBJECT, drive.root(),
                                       FILE_ADD_SUBDIRECTORY | FILE_ADD_FILE | FILE_DELETE_CHILD));

    Findings findings;
    bool safe = AddPlacementFindings(findings, "the file", harness::Widen(file));

    std::string said;
    for (const Finding& finding : findings) {
        said += FindingText(finding) + "\n";
    }
    std::string wanted = harness::ReplaceAll(row.failure, "{root}", drive.root());
    EXPECT_EQ(wanted.empty(), safe) << said;
    EXPECT_NE(std::string::npos, said.find(wanted)) << wanted << "\nnot in:\n" << said;
}

INSTANTIATE_TEST_SUITE_P(Checks, VolumeRoot, testing::ValuesIn(kRootCases),
                         [](const testing::TestParamInfo<RootCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

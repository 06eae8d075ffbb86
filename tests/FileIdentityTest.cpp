// Whether two spellings name one file, and taking back only what is still
// the file made. Links: Wine 8 makes none of its own (CreateSymbolicLinkW
// returns success and makes nothing; a junction's FSCTL_SET_REPARSE_POINT
// fails with ERROR_NOT_SUPPORTED), so under Wine the link is a Unix symbolic
// link in the prefix's drive, which Wine follows: a link to a file opens as
// the file, with the file's identity and no reparse attribute; a link to a
// folder does the same through a handle, and only the path's attributes
// (GetFileAttributesW, FindFirstFileW) mark it as a reparse point.
#include "checks/paths/FileIdentity.h"
#include "checks/text/Findings.h"
#include "harness/Link.h"
#include "harness/Harness.h"
#include "harness/Placement.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using harness::Widen;

std::string ShortPath(const std::string& path) {
    char shortPath[MAX_PATH] = {};
    DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : shortPath;
}

std::string LongPath(const std::string& path) {
    char longPath[MAX_PATH] = {};
    DWORD length = GetLongPathNameA(path.c_str(), longPath, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? path : longPath;
}

std::string Upper(std::string text) {
    CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// A scratch folder holding "Long Folder Name\Long File Name.dll", whose
// parts have short names of their own, a second name of that file, and
// another file.
class FileIdentityTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = LongPath(scratch_.path());
        file_ = scratch_.Write("Long Folder Name\\Long File Name.dll", "the file");
        scratch_.Write("other.dll", "another file");
        ASSERT_TRUE(CreateHardLinkA((dir_ + "\\hard link.dll").c_str(), file_.c_str(), nullptr))
            << "error " << GetLastError();
        shortFolder_ = ShortPath(dir_ + "\\Long Folder Name");
        ASSERT_FALSE(shortFolder_.empty()) << "no short name: error " << GetLastError();
        ASSERT_EQ(std::string::npos, shortFolder_.find("Long Folder Name")) << shortFolder_;
    }

    // "{dir}", "{DIR}" (in capitals), "{folder}", "{file}", and the short
    // forms "{shortfolder}" and "{shortfile}".
    std::wstring Expand(const std::string& text) const {
        std::string expanded = harness::ReplaceAll(text, "{shortfile}", ShortPath(file_));
        expanded = harness::ReplaceAll(expanded, "{shortfolder}", shortFolder_);
        expanded = harness::ReplaceAll(expanded, "{file}", file_);
        expanded = harness::ReplaceAll(expanded, "{folder}", dir_ + "\\Long Folder Name");
        expanded = harness::ReplaceAll(expanded, "{DIR}", Upper(dir_));
        return Widen(harness::ReplaceAll(expanded, "{dir}", dir_));
    }
    const std::string& dir() const {
        return dir_;
    }

    harness::ScratchFolder scratch_;
    std::string dir_;
    std::string file_;
    std::string shortFolder_;
};

struct SameCase {
    const char* name;
    const char* first;
    const char* second;
    bool same;
    // The first is held open, without any sharing, meanwhile: a file in use.
    bool held = false;
};

void PrintTo(const SameCase& row, std::ostream* out) {
    *out << row.name;
}

class SameFileRows : public FileIdentityTest, public testing::WithParamInterface<SameCase> {};

TEST_P(SameFileRows, MeetsHoweverSpelt) {
    const SameCase& row = GetParam();
    HANDLE held = INVALID_HANDLE_VALUE;
    if (row.held) {
        held = CreateFileW(Expand(row.first).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held) << "error " << GetLastError();
    }

    bool same = SameFile(Expand(row.first), Expand(row.second));
    bool reversed = SameFile(Expand(row.second), Expand(row.first));

    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    EXPECT_EQ(row.same, same) << ReportText(Expand(row.first)) << " and "
                              << ReportText(Expand(row.second));
    EXPECT_EQ(same, reversed);
}

const SameCase kSameCases[] = {
    {"ShortName", "{file}", "{shortfile}", true},
    {"OtherCase", "{file}", "{DIR}\\LONG FOLDER NAME\\long file name.DLL", true},
    {"CurrentFolderPart", "{file}", "{dir}\\Long Folder Name\\.\\Long File Name.dll", true},
    {"ParentFolderPart", "{file}",
     "{dir}\\Long Folder Name\\..\\Long Folder Name\\Long File Name.dll", true},
    {"ForwardSlashes", "{file}", "{dir}/Long Folder Name/Long File Name.dll", true},
    {"TrailingDot", "{file}", "{file}.", true},
    {"TrailingSpaces", "{file}", "{file}  ", true},
    {"PrefixThatTakesThePathAsWritten", "{file}", "\\\\?\\{file}", true},
    {"SecondNameOfTheFile", "{file}", "{dir}\\hard link.dll", true},
    {"InUseWithoutSharing", "{file}", "{shortfile}", true, true},
    {"OtherFile", "{file}", "{dir}\\other.dll", false},
    {"ItsNameInAnotherFolder", "{dir}\\other.dll", "{folder}\\other.dll", false},
    {"FolderAndItsShortName", "{folder}", "{shortfolder}", true},
    {"NotThereYetInAFolderByItsShortName", "{shortfolder}\\New File.dll", "{folder}\\NEW FILE.DLL",
     true},
    {"NotThereYetWithTrailingDot", "{shortfolder}\\New File.dll.", "{folder}\\new file.dll", true},
    {"NotThereYetWithSlashAndParent", "{dir}/x/../Long Folder Name/New File.dll",
     "\\\\?\\{shortfolder}\\New File.dll", true},
    {"NotThereYetOtherName", "{shortfolder}\\New File.dll", "{folder}\\Newer File.dll", false},
};

INSTANTIATE_TEST_SUITE_P(Checks, SameFileRows, testing::ValuesIn(kSameCases),
                         [](const testing::TestParamInfo<SameCase>& info) {
                             return std::string(info.param.name);
                         });

struct ComparableCase {
    const char* name;
    const char* path;
    const char* comparable;
};

void PrintTo(const ComparableCase& row, std::ostream* out) {
    *out << row.name;
}

class ComparableRows : public FileIdentityTest,
                       public testing::WithParamInterface<ComparableCase> {};

// The part that exists takes its long name as it lies on disk; the rest keeps
// its case.
TEST_P(ComparableRows, IsFullLongAndPlain) {
    const ComparableCase& row = GetParam();

    EXPECT_EQ(ReportText(Expand(row.comparable)), ReportText(ComparablePath(Expand(row.path))));
}

const ComparableCase kComparableCases[] = {
    {"ShortFolderOfANewFile", "{shortfolder}\\New File.dll", "{folder}\\New File.dll"},
    {"TrailingDotsAndSpacesOfEveryPart", "{dir}\\Not There. \\New File.dll. .",
     "{dir}\\Not There\\New File.dll"},
    {"PrefixDotsAndSlashes", "\\\\?\\{dir}/a/./b/../New.dll", "{dir}\\a\\New.dll"},
    {"DeviceLeftAsItIs", "\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0"},
};

INSTANTIATE_TEST_SUITE_P(Checks, ComparableRows, testing::ValuesIn(kComparableCases),
                         [](const testing::TestParamInfo<ComparableCase>& info) {
                             return std::string(info.param.name);
                         });

// What a link shows: on Windows its own identity, marked as a link; under
// Wine, which follows a Unix link, the target's, marked only for a folder.
TEST_F(FileIdentityTest, LinkShowsWhatThePlatformShows) {
    CreateDirectoryA((dir() + "\\target folder").c_str(), nullptr);
    harness::Link fileLink(dir() + "\\file link.dll", file_, false);
    harness::Link folderLink(dir() + "\\folder link", dir() + "\\target folder", true);
    if (!fileLink.made() && !harness::RunningUnderWine()) {
        GTEST_SKIP() << "this account may not make symbolic links";
    }
    ASSERT_TRUE(fileLink.made() && folderLink.made());
    bool wine = harness::RunningUnderWine();
    struct Seen {
        std::string link;
        std::string target;
        bool markedUnderWine;
    };
    const Seen seen[] = {{dir() + "\\file link.dll", file_, false},
                         {dir() + "\\folder link", dir() + "\\target folder", true}};
    for (const Seen& one : seen) {
        FileIdentity link;
        FileIdentity target;
        bool isLink = false;
        bool targetIsLink = true;
        ASSERT_TRUE(IdentityOf(Widen(one.link), &link, &isLink)) << one.link;
        ASSERT_TRUE(IdentityOf(Widen(one.target), &target, &targetIsLink)) << one.target;

        EXPECT_EQ(wine ? one.markedUnderWine : true, isLink) << one.link;
        EXPECT_FALSE(targetIsLink) << one.target;
        EXPECT_EQ(wine, link == target) << one.link;
        EXPECT_EQ(wine, SameFile(Widen(one.link), Widen(one.target))) << one.link;
    }
}

// What lies at the path when it is taken back.
enum class Then {
    Left,          // the one made, as it was
    Gone,          // nothing
    Swapped,       // another file moved into its place
    LinkToAnother, // a link to another file or folder in its place
    FileAdded,     // a file added to the folder made
    HeldWithoutSharing,
};

struct TakebackCase {
    const char* name;
    bool folder; // a folder was made, not a file
    Then then;
    Takeback outcome;
    bool readOnly = false;
    // Taken back as the other kind than the one made.
    bool otherKind = false;
};

void PrintTo(const TakebackCase& row, std::ostream* out) {
    *out << row.name;
}

class TakebackRows : public FileIdentityTest, public testing::WithParamInterface<TakebackCase> {
  protected:
    void TearDown() override {
        SetFileAttributesA((dir() + "\\made").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
};

// Only the one made is deleted; whatever took its place stays as it is, and
// so does what a link there leads to.
TEST_P(TakebackRows, DeletesOnlyWhatIsStillTheOneMade) {
    const TakebackCase& row = GetParam();
    std::string path = dir() + "\\made";
    std::string another = dir() + (row.folder ? "\\another" : "\\another.dll");
    if (row.folder) {
        ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr) &&
                    CreateDirectoryA(another.c_str(), nullptr));
    } else {
        scratch_.Write("made", "made");
        scratch_.Write("another.dll", "another");
        SetFileAttributesA(path.c_str(), row.readOnly ? FILE_ATTRIBUTE_READONLY : 0);
    }
    FileIdentity made;
    bool isLink = true;
    ASSERT_TRUE(IdentityOf(Widen(path), &made, &isLink));
    ASSERT_FALSE(isLink);
    // Made before the one made goes, so that it cannot get its identity.
    if (row.then == Then::Gone || row.then == Then::Swapped || row.then == Then::LinkToAnother) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(row.folder ? RemoveDirectoryA(path.c_str()) : DeleteFileA(path.c_str()));
    }
    if (row.then == Then::Swapped) {
        ASSERT_TRUE(MoveFileA(another.c_str(), path.c_str()));
    }
    std::unique_ptr<harness::Link> link;
    if (row.then == Then::LinkToAnother) {
        link.reset(new harness::Link(path, another, row.folder));
        if (!link->made() && !harness::RunningUnderWine()) {
            GTEST_SKIP() << "this account may not make symbolic links";
        }
        ASSERT_TRUE(link->made());
    }
    if (row.then == Then::FileAdded) {
        scratch_.Write("made\\added.txt", "added");
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    if (row.then == Then::HeldWithoutSharing) {
        held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
    }
    bool there = row.then != Then::Gone;
    DWORD error = ERROR_SUCCESS;

    Takeback outcome = DeleteIfSame(Widen(path), made, row.folder != row.otherKind, &error);

    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    EXPECT_EQ(static_cast<int>(row.outcome), static_cast<int>(outcome)) << "error " << error;
    EXPECT_EQ(there && row.outcome != Takeback::Deleted, harness::FileExists(path));
    EXPECT_TRUE(row.outcome != Takeback::Failed || error != ERROR_SUCCESS);
    if (row.then == Then::LinkToAnother) {
        EXPECT_TRUE(harness::FileExists(another)) << "what the link leads to went";
        EXPECT_TRUE(row.folder || harness::ReadFile(another) == "another");
    }
}

const TakebackCase kTakebackCases[] = {
    {"FileMade", false, Then::Left, Takeback::Deleted},
    {"ReadOnlyFileMade", false, Then::Left, Takeback::Deleted, true},
    {"EmptyFolderMade", true, Then::Left, Takeback::Deleted},
    {"NothingThere", false, Then::Gone, Takeback::Gone},
    {"AnotherFileInItsPlace", false, Then::Swapped, Takeback::NotTheSame},
    {"AnotherFolderInItsPlace", true, Then::Swapped, Takeback::NotTheSame},
    {"LinkToAnotherFile", false, Then::LinkToAnother, Takeback::NotTheSame},
    {"LinkToAnotherFolder", true, Then::LinkToAnother, Takeback::NotTheSame},
    {"FileTakenBackAsAFolder", false, Then::Left, Takeback::NotTheSame, false, true},
    {"FolderWithAFileAdded", true, Then::FileAdded, Takeback::Failed},
    {"FileInUseWithoutSharing", false, Then::HeldWithoutSharing, Takeback::Failed},
};

INSTANTIATE_TEST_SUITE_P(Checks, TakebackRows, testing::ValuesIn(kTakebackCases),
                         [](const testing::TestParamInfo<TakebackCase>& info) {
                             return std::string(info.param.name);
                         });

// Nothing at the path, and not even its folder: taken back already.
TEST_F(FileIdentityTest, FolderAboveGoneIsGone) {
    DWORD error = ERROR_SUCCESS;
    FileIdentity made;

    EXPECT_EQ(static_cast<int>(Takeback::Gone),
              static_cast<int>(DeleteIfSame(Widen(dir() + "\\gone\\made"), made, false, &error)));
}

} // namespace

// Deletion at restart, end to end: the delayed move and the "wininit.ini"
// route schedule a deletion that Wine's own restart then carries out, and the
// initialisation file is left byte for byte as it was whenever the line
// cannot be added whole.
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "restart/DeleteAtRestart.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace {

std::string WindowsFile(const char* name) {
    char folder[MAX_PATH];
    GetWindowsDirectoryA(folder, sizeof(folder));
    return std::string(folder) + "\\" + name;
}

// A file of the prefix's Windows folder, shared by the whole run: taken away
// for the test and put back as it was afterwards.
class SavedFile {
  public:
    explicit SavedFile(const std::string& path)
        : path_(path), existed_(harness::FileExists(path)), content_(harness::ReadFile(path)) {
        harness::RemoveFile(path_);
    }
    ~SavedFile() {
        harness::RemoveFile(path_);
        if (existed_) {
            harness::WriteWholeFile(path_, content_);
        }
    }
    SavedFile(const SavedFile&) = delete;
    SavedFile& operator=(const SavedFile&) = delete;

  private:
    std::string path_;
    bool existed_;
    std::string content_;
};

std::string ShortPath(const std::string& path) {
    char shortPath[MAX_PATH * 4];
    return std::string(shortPath, GetShortPathNameA(path.c_str(), shortPath, sizeof(shortPath)));
}

class RestartDeletion : public testing::Test {
  protected:
    const std::string initFile_ = WindowsFile("wininit.ini");
    // Wine's restart renames the file it has carried out to this.
    SavedFile savedBackup_{WindowsFile("wininit.bak")};
    SavedFile savedInitFile_{initFile_};
    harness::SavedRenames savedRenames_;
    harness::ScratchFolder scratch_;
};

struct RouteCase {
    const char* name;
    const char* folder;         // in the scratch folder, holding the files to delete
    const char* initialContent; // null: there is no initialisation file
    UINT codePage;              // the ANSI code page the names are written in; 0: any
};

const RouteCase kRouteCases[] = {
    {"AnsiNames", "", nullptr, 0},
    // Shift-JIS: the folder "\x83\\\x83t\x83g" begins with a character whose
    // second byte is a backslash; "\x83[" is one whose second byte is "[", so
    // the file's only header is the one the tool adds.
    {"DoubleByteNamesCp932", "\x83\\\x83t\x83g\\", "[boot]\r\nshell=\x83[Rename]\r\n", 932},
};

class BothRoutes : public RestartDeletion, public testing::WithParamInterface<RouteCase> {};

TEST_P(BothRoutes, DeleteAtWineRestart) {
    const RouteCase& row = GetParam();
    if (row.codePage != 0 && GetACP() != row.codePage) {
        GTEST_SKIP() << "needs ANSI code page " << row.codePage << ", not " << GetACP();
    }
    std::string in = row.folder;
    std::string before = row.initialContent == nullptr ? "" : row.initialContent;
    if (row.initialContent != nullptr) {
        harness::WriteWholeFile(initFile_, before);
    }
    std::string moved = scratch_.Write(in + "moved away.txt", "delayed move");
    // Names that are no 8.3 names, so that the short path differs from the long.
    std::string first = scratch_.Write(in + "through init file.txt", "created the file");
    std::string second = scratch_.Write(in + "sub folder\\second one.txt", "edited the file");

    DeleteFileAtRestart(moved.c_str());
    EXPECT_TRUE(harness::ListedForDeletionAtRestart(moved));
    EXPECT_EQ(row.initialContent != nullptr, harness::FileExists(initFile_))
        << "the delayed move worked: no need for the file";

    DeleteFileThroughInitFile(first.c_str());
    std::string expected = before + "[Rename]\r\nNUL=" + ShortPath(first) + "\r\n";
    EXPECT_EQ(expected, harness::ReadFile(initFile_));

    // Another section behind the rename section: the line goes in before it,
    // and the file ends where its text ends, with nothing of the mapping's
    // extra room left over.
    harness::WriteWholeFile(initFile_, expected + "[Other]\r\nkey=1\r\n");
    DeleteFileThroughInitFile(second.c_str());
    EXPECT_EQ(expected + "NUL=" + ShortPath(second) + "\r\n[Other]\r\nkey=1\r\n",
              harness::ReadFile(initFile_));

    for (const std::string& file : {moved, first, second}) {
        EXPECT_TRUE(harness::FileExists(file)) << file << " went before the restart";
    }
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "only Wine restarts on demand";
    }
    ASSERT_TRUE(harness::RestartWine());
    for (const std::string& file : {moved, first, second}) {
        EXPECT_FALSE(harness::FileExists(file)) << file << " survived the restart";
    }
    EXPECT_FALSE(harness::ListedForDeletionAtRestart(moved));
}

INSTANTIATE_TEST_SUITE_P(RestartDeletion, BothRoutes, testing::ValuesIn(kRouteCases),
                         [](const testing::TestParamInfo<RouteCase>& info) {
                             return std::string(info.param.name);
                         });

// An initialisation file whose last line has no line break. The tool's line
// must not run into it: a deletion the file already schedules, the tool's own
// and the other sections' values must all survive as the reader sees them.
struct LastLineCase {
    const char* name;
    // "{old}" stands for the short path of a file whose deletion the file
    // already schedules, "{new}" for that of the tool's own.
    const char* before;
    const char* after;
};

const LastLineCase kLastLineCases[] = {
    {"ScheduledDeletionWithoutFinalLineBreak",
     "[boot]\r\nshell=explorer.exe\r\n[Rename]\r\nNUL={old}",
     "[boot]\r\nshell=explorer.exe\r\n[Rename]\r\nNUL={old}\r\nNUL={new}\r\n"},
    // The header and the line come after a line break: the whole room the
    // mapping is given is used.
    {"ValueWithoutFinalLineBreak", "[boot]\r\nshell=explorer.exe",
     "[boot]\r\nshell=explorer.exe\r\n[Rename]\r\nNUL={new}\r\n"},
};

std::string Filled(std::string text, const std::string& oldPath, const std::string& newPath) {
    using Token = std::pair<std::string, std::string>;
    for (const Token& token : {Token{"{old}", oldPath}, Token{"{new}", newPath}}) {
        size_t at = text.find(token.first);
        if (at != std::string::npos) {
            text.replace(at, token.first.size(), token.second);
        }
    }
    return text;
}

class LastLineUnbroken : public RestartDeletion,
                         public testing::WithParamInterface<LastLineCase> {};

TEST_P(LastLineUnbroken, KeepsEveryDeletionAndValue) {
    const LastLineCase& row = GetParam();
    std::string old = scratch_.Write("scheduled before.txt", "old");
    std::string own = scratch_.Write("tool of its own.exe", "new");
    harness::WriteWholeFile(initFile_, Filled(row.before, ShortPath(old), ""));

    DeleteFileThroughInitFile(own.c_str());

    EXPECT_EQ(Filled(row.after, ShortPath(old), ShortPath(own)), harness::ReadFile(initFile_));
    char shell[64] = "";
    GetPrivateProfileStringA("boot", "shell", "", shell, sizeof(shell), initFile_.c_str());
    EXPECT_STREQ("explorer.exe", shell);
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "only Wine restarts on demand";
    }
    ASSERT_TRUE(harness::RestartWine());
    EXPECT_FALSE(harness::FileExists(own)) << "the tool's own deletion was lost";
    bool scheduledBefore = std::string(row.before).find("{old}") != std::string::npos;
    EXPECT_EQ(!scheduledBefore, harness::FileExists(old)) << "the earlier deletion";
}

INSTANTIATE_TEST_SUITE_P(RestartDeletion, LastLineUnbroken, testing::ValuesIn(kLastLineCases),
                         [](const testing::TestParamInfo<LastLineCase>& info) {
                             return std::string(info.param.name);
                         });

// A file nested deep enough that its short path is 1018 characters: the
// rename line "NUL=<path>\r\n" is then 1024 bytes, with no room left for the
// terminator. Every name is an 8.3 name under a short root, so the short path
// is the path itself. Made and removed through the wide functions with the
// "\\?\" prefix, which are not bound to MAX_PATH.
class DeepFile {
  public:
    explicit DeepFile(const std::string& shortRoot) {
        const size_t shortPathLength = 1018;
        const std::string step = "\\deepdee";
        std::string path = shortRoot;
        // The file's own "\name.txt" takes the last 6 to 13 characters.
        while (shortPathLength - path.size() > 13) {
            path += step;
            folders_.push_back(Wide(path));
            CreateDirectoryW(folders_.back().c_str(), nullptr);
        }
        path_ = path + "\\" + std::string(shortPathLength - path.size() - 5, 'f') + ".txt";
        HANDLE file = CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        CloseHandle(file);
    }
    ~DeepFile() {
        DeleteFileW(Wide(path_).c_str());
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
            RemoveDirectoryW(folder->c_str());
        }
    }
    DeepFile(const DeepFile&) = delete;
    DeepFile& operator=(const DeepFile&) = delete;

    const std::string& path() const {
        return path_;
    }
    bool exists() const {
        return GetFileAttributesW(Wide(path_).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

  private:
    static std::wstring Wide(const std::string& path) {
        return L"\\\\?\\" + std::wstring(path.begin(), path.end());
    }
    std::string path_;
    std::vector<std::wstring> folders_;
};

enum class Obstacle { None, HeldOpenWithoutSharing, HeldOpenSharingAll };
enum class Target { Existing, Missing, TooDeepForTheLine };

struct UntouchedCase {
    const char* name;
    const char* initialContent; // null: there is no initialisation file
    Obstacle obstacle;
    Target target;
};

const UntouchedCase kUntouchedCases[] = {
    {"HeldOpenWithoutSharing", "[Rename]\r\nNUL=C:\\old.txt\r\n", Obstacle::HeldOpenWithoutSharing,
     Target::Existing},
    // Opened without sharing by the tool, so any other open handle stops it.
    {"HeldOpenSharingAll", "[boot]\r\nshell=x\r\n", Obstacle::HeldOpenSharingAll, Target::Existing},
    {"FileToDeleteMissingCreatesNothing", nullptr, Obstacle::None, Target::Missing},
    {"FileToDeleteMissingEditsNothing", "[Rename]\r\n[x]\r\n", Obstacle::None, Target::Missing},
    // A cut line would lose its line end and run into the next line.
    {"ShortPathTooLongCreatesNothing", nullptr, Obstacle::None, Target::TooDeepForTheLine},
    {"ShortPathTooLongEditsNothing", "[RENAME]\r\n", Obstacle::None, Target::TooDeepForTheLine},
};

class InitFileUntouched : public RestartDeletion,
                          public testing::WithParamInterface<UntouchedCase> {};

TEST_P(InitFileUntouched, WhenTheLineCannotBeAddedWhole) {
    const UntouchedCase& row = GetParam();
    if (row.initialContent != nullptr) {
        harness::WriteWholeFile(initFile_, row.initialContent);
    }
    std::string target = scratch_.Write("to delete.txt", "x");
    std::unique_ptr<DeepFile> deep;
    if (row.target == Target::Missing) {
        target = scratch_.path() + "\\missing.txt";
    } else if (row.target == Target::TooDeepForTheLine) {
        deep.reset(new DeepFile(ShortPath(scratch_.path())));
        ASSERT_TRUE(deep->exists()) << "the deep folders could not be made";
        ASSERT_EQ(1018u, deep->path().size());
        target = deep->path();
    }

    HANDLE held = INVALID_HANDLE_VALUE;
    if (row.obstacle == Obstacle::HeldOpenWithoutSharing ||
        row.obstacle == Obstacle::HeldOpenSharingAll) {
        DWORD sharing = row.obstacle == Obstacle::HeldOpenSharingAll
                            ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                            : 0;
        held = CreateFileA(initFile_.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
    }

    DeleteFileThroughInitFile(target.c_str());

    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    if (row.initialContent == nullptr) {
        EXPECT_FALSE(harness::FileExists(initFile_)) << "created: " << harness::ReadFile(initFile_);
    } else {
        EXPECT_EQ(row.initialContent, harness::ReadFile(initFile_));
    }
}

INSTANTIATE_TEST_SUITE_P(RestartDeletion, InitFileUntouched, testing::ValuesIn(kUntouchedCases),
                         [](const testing::TestParamInfo<UntouchedCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

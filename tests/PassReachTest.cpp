// What the recorder accepts, the pass carries out. A path too long for the
// tool's ANSI functions, or on a drive that the pass at the next logon may
// not see, is refused by the recorder, failed by the inspector, and indeed
// not registered after the restart; replace ends with a refusal for any
// length and any prefix of its target, and leaves nothing behind.
#include "harness/Drives.h"
#include "harness/Guards.h"
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/WorkSets.h"

#include "checks/paths/PassReach.h"
#include "checks/trust/Placements.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using harness::Output;
using harness::Widen;
using harness::WineDrive;

const char kArmName[] = "pendreg reach test";

bool Registered(const harness::RecordLog& log, const std::string& module) {
    for (const harness::Record& record : log.Read()) {
        if (record.event == "register" &&
            harness::Lower(record.field("module")) == harness::Lower(module)) {
            return true;
        }
    }
    return false;
}

// Whether a line of the output begins with the text.
bool BeginsALine(const Output& output, const std::string& text) {
    for (const std::string& line : output.lines) {
        if (line.compare(0, text.size(), text) == 0) {
            return true;
        }
    }
    return false;
}

// Removes the folder and all in it through the wide functions, which take a
// path of any length where the ANSI ones stop at MAX_PATH.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring path = folder + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            RemoveTree(path);
        } else {
            DeleteFileW(path.c_str());
        }
    }
    FindClose(search);
    RemoveDirectoryW(folder.c_str());
}

// The files, not folders, in a folder of any length.
size_t FilesIn(const std::string& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((Widen(folder) + L"\\*").c_str(), &found);
    size_t files = 0;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
    }
    FindClose(search);
    return files;
}

std::string ReadWide(const std::string& path) {
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    char bytes[64] = {};
    DWORD read = 0;
    ReadFile(file, bytes, sizeof(bytes), &read, nullptr);
    CloseHandle(file);
    return std::string(bytes, read);
}

bool WriteWide(const std::string& path, const std::string& content) {
    HANDLE file =
        CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    bool done =
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == content.size();
    CloseHandle(file);
    return done;
}

// Where a row puts its file: in the scratch folder, or below a drive letter
// that stands for a folder in it.
enum class Drive { None, Network, Removable, Link };

// A scratch folder, a copy of the test program standing in for the tool,
// and whatever a row adds to the pending key, RunOnce or the restart's
// renames, all gone again whatever an assertion did.
class PassReach : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(harness::KeepToAdministrators(dir()));
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
    }
    void TearDown() override {
        RemoveTree(Widen(dir() + "\\long"));
    }

    // A folder whose full path has the length given, made of parts of at most
    // 200 characters below the scratch folder's "long".
    std::string LongFolder(size_t length) const {
        std::string folder = dir() + "\\long";
        CreateDirectoryW(Widen(folder).c_str(), nullptr);
        while (folder.size() < length) {
            size_t part = std::min<size_t>(200, length - folder.size() - 1);
            // A part of one character would leave no room for the next "\".
            part = length - folder.size() - 1 - part == 1 ? part - 2 : part;
            folder += "\\" + std::string(part, 'd');
            CreateDirectoryW(Widen(folder).c_str(), nullptr);
        }
        return folder;
    }
    // The drive the row asks for, standing for the scratch folder's "net".
    bool MakeDrive(Drive drive) {
        if (drive == Drive::None) {
            return true;
        }
        CreateDirectoryA((dir() + "\\net").c_str(), nullptr);
        drive_.reset(new WineDrive(drive == Drive::Network     ? WineDrive::Kind::Network
                                   : drive == Drive::Removable ? WineDrive::Kind::Removable
                                                               : WineDrive::Kind::Link,
                                   dir() + "\\net"));
        return drive_->letter() != 0;
    }
    std::string Expand(std::string text) const {
        char letter = drive_ == nullptr ? '?' : drive_->letter();
        text = harness::ReplaceAll(text, "{letter}", std::string(1, letter));
        text = harness::ReplaceAll(text, "{self}", self_);
        return harness::ReplaceAll(text, "{dir}", dir());
    }
    Output Record(const std::string& arguments) const {
        return harness::RunCapturing(
            Widen("\"" + harness::RecorderPath() + "\" " + Expand(arguments)), dir());
    }
    const std::string& dir() const {
        return scratch_.path();
    }

    harness::SavedRenames renames_;
    harness::PendingKeyGuard pendingKey_;
    harness::RunOnceGuard runOnce_{kArmName};
    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
    std::unique_ptr<WineDrive> drive_;
    std::string self_;
};

struct ReplaceCase {
    const char* name;
    // The target's folder: a path of this length, or 0 for "{dir}\app".
    size_t folderLength;
    Drive drive;
    // How the target is written: "{at}" stands for its folder as the row
    // makes it, or for the drive "X:" that stands for it.
    const char* written;
    DWORD exitCode;
    // How the output begins; "{target}" is the target as written.
    const char* line;
};

void PrintTo(const ReplaceCase& row, std::ostream* out) {
    *out << row.name;
}

class ReplaceReach : public PassReach, public testing::WithParamInterface<ReplaceCase> {};

// Every target ends in a few seconds: replaced, or refused with exit code 2,
// the target untouched, no copy staged beside it and no rename scheduled.
TEST_P(ReplaceReach, EndsWithARefusalOrTheNewVersionInPlace) {
    const ReplaceCase& row = GetParam();
    if (row.drive != Drive::None && !harness::RunningUnderWine()) {
        GTEST_SKIP() << "drives are made on demand only under Wine";
    }
    ASSERT_TRUE(MakeDrive(row.drive)) << "the drive could not be made";
    std::string folder = row.folderLength != 0      ? LongFolder(row.folderLength)
                         : row.drive != Drive::None ? dir() + "\\net"
                                                    : dir() + "\\app";
    CreateDirectoryW(Widen(folder).c_str(), nullptr);
    std::string at = row.drive != Drive::None ? Expand("{letter}:") : folder;
    std::string target = harness::ReplaceAll(row.written, "{at}", at);
    ASSERT_TRUE(WriteWide(folder + "\\target.dll", "version 1"));
    scratch_.Write("update\\new.dll", "version 2");

    Output replaced = Record("replace \"{dir}\\update\\new.dll\" \"" + target + "\"");

    EXPECT_EQ(row.exitCode, replaced.exitCode) << replaced.text;
    EXPECT_EQ(0u, replaced.text.find(harness::ReplaceAll(Expand(row.line), "{target}", target)))
        << replaced.text;
    EXPECT_EQ(row.exitCode == 0 ? "version 2" : "version 1", ReadWide(folder + "\\target.dll"));
    EXPECT_EQ(1u, FilesIn(folder)) << "a copy was left beside the target";
    EXPECT_EQ("", harness::FateAtRestart(folder + "\\target.dll"));
}

const ReplaceCase kReplaceCases[] = {
    // Made the staged copy's name overflow its buffer: a crash, a copy left
    // at each try.
    {"FolderOf314Characters", 314, Drive::None, "{at}\\target.dll", 2,
     "pendreg-record: {target}: has a path of 325 characters, and the tool opens files through "
     "ANSI functions, which take at most 259; nothing staged"},
    {"FolderOneCharacterTooLongToStageIn", 230, Drive::None, "{at}\\target.dll", 2,
     "pendreg-record: {target}: its folder's path has 230 characters, and the new version can "
     "wait beside it only in a folder of at most 229; nothing staged"},
    {"LongestFolderToStageIn", 229, Drive::None, "{at}\\target.dll", 0,
     "replaced at once: {target}"},
    // Walked up to the root for ever, holding the recorders' lock.
    {"PrefixThatTakesThePathAsWritten", 0, Drive::None, "\\\\?\\{at}\\target.dll", 2,
     "pendreg-record: {target}: written with a \\\\?\\ or \\\\.\\ prefix: name the target "
     "plainly, with its drive letter; nothing staged"},
    {"DevicePrefix", 0, Drive::None, "\\\\.\\{at}\\target.dll", 2,
     "pendreg-record: {target}: written with a \\\\?\\ or \\\\.\\ prefix: name the target "
     "plainly, with its drive letter; nothing staged"},
    {"NetworkDrive", 0, Drive::Network, "{at}\\target.dll", 2,
     "pendreg-record: {target}: is on a network drive ({letter}:): the pass runs at the next "
     "logon, when only the machine's local fixed drives are certain to be there; nothing staged"},
    {"RemovableDrive", 0, Drive::Removable, "{at}\\target.dll", 2,
     "pendreg-record: {target}: is on a removable drive ({letter}:): the pass runs at the next "
     "logon, when only the machine's local fixed drives are certain to be there; nothing staged"},
    {"LetterLinkedInThisSessionOnly", 0, Drive::Link, "{at}\\target.dll", 2,
     "pendreg-record: {target}: is on drive {letter}:, a letter that stands for no volume of the "
     "machine"},
};

INSTANTIATE_TEST_SUITE_P(Recorder, ReplaceReach, testing::ValuesIn(kReplaceCases),
                         [](const testing::TestParamInfo<ReplaceCase>& info) {
                             return std::string(info.param.name);
                         });

struct RuleCase {
    const char* name;
    // "{dir}": the scratch folder; "{subst}": a letter that DefineDosDevice
    // substitutes for it; "{gone}": a letter no drive has; "{to:N}" at the
    // end: as many characters as make the path N long.
    const char* path;
    const char* reason; // "" when the pass can reach the path
};

void PrintTo(const RuleCase& row, std::ostream* out) {
    *out << row.name;
}

class ReachRule : public PassReach, public testing::WithParamInterface<RuleCase> {};

// The rule itself, for what no drive of Wine's can be made into: a share, a
// substituted letter, a letter with no drive, a device; and the boundary of
// the length, prefix included.
TEST_P(ReachRule, SaysWhyThePassCannotReachAPath) {
    const RuleCase& row = GetParam();
    char subst = 0;
    char gone = 0;
    for (char letter = 'Y'; letter >= 'M'; --letter) {
        bool used = (GetLogicalDrives() & (1u << (letter - 'A'))) != 0;
        gone = !used && gone == 0 ? letter : gone;
        subst = !used && letter != gone && subst == 0 ? letter : subst;
    }
    ASSERT_NE(0, subst);
    const char substName[] = {subst, ':', '\0'};
    ASSERT_TRUE(DefineDosDeviceA(0, substName, dir().c_str()));
    std::string path = harness::ReplaceAll(Expand(row.path), "{subst}", std::string(1, subst));
    path = harness::ReplaceAll(path, "{gone}", std::string(1, gone));
    std::string reason = harness::ReplaceAll(Expand(row.reason), "{subst}", std::string(1, subst));
    reason = harness::ReplaceAll(reason, "{gone}", std::string(1, gone));
    // "{to:N}" at the end pads the path to N characters.
    size_t to = path.find("{to:");
    if (to != std::string::npos) {
        path = path.substr(0, to) + std::string(std::stoul(path.substr(to + 4)) - to, 'x');
    }

    std::string said = PassCannotReach(Widen(path));

    DefineDosDeviceA(DDD_REMOVE_DEFINITION, substName, nullptr);
    EXPECT_EQ(reason, said) << path;
}

// How every reason about a drive ends.
#define AT_LOGON                                                                                   \
    ": the pass runs at the next logon, when only the machine's local fixed drives are certain "   \
    "to be there"

const RuleCase kRuleCases[] = {
    {"LocalFixedDrive", "{dir}\\a.dll", ""},
    {"LocalFixedDriveWithPrefix", "\\\\?\\{dir}\\a.dll", ""},
    {"Share", "\\\\localhost\\share\\a.dll", "is on a share" AT_LOGON},
    {"ShareWithPrefix", "\\\\?\\UNC\\localhost\\share\\a.dll", "is on a share" AT_LOGON},
    {"SubstitutedLetter", "{subst}:\\a.dll",
     "is on a substituted drive ({subst}: stands for {dir})" AT_LOGON},
    {"LetterOfNoDrive", "{gone}:\\a.dll", "is on drive {gone}:, which is not there" AT_LOGON},
    {"Device", "\\\\.\\PhysicalDrive0\\a.dll", "names a device or a volume, not a file on a drive"},
    {"PathOf259Characters", "C:\\{to:259}", ""},
    {"PathOf260Characters", "C:\\{to:260}",
     "has a path of 260 characters, and the tool opens files through ANSI functions, which take "
     "at most 259"},
    // The ANSI functions take the prefix too.
    {"PrefixCountsTowardsTheLength", "\\\\?\\C:\\{to:260}",
     "has a path of 260 characters, and the tool opens files through ANSI functions, which take "
     "at most 259"},
};

INSTANTIATE_TEST_SUITE_P(Checks, ReachRule, testing::ValuesIn(kRuleCases),
                         [](const testing::TestParamInfo<RuleCase>& info) {
                             return std::string(info.param.name);
                         });

// A path walked up towards its root for the placement checks, as replace
// judges a target: every walk ends, whatever prefix the path has, and when a
// folder's name ends in a colon, as a drive's does, so that its folder is
// written as long as itself.
TEST_F(PassReach, PlacementWalkEndsWhateverThePrefix) {
    const std::wstring paths[] = {
        Widen(dir()) + L"\\x:\\a.dll",
        L"C:\\x:\\a.dll",
        L"\\\\?\\" + Widen(dir()) + L"\\a.dll",
        L"\\\\.\\" + Widen(dir()) + L"\\a.dll",
        L"\\\\?\\C:\\a.dll",
        L"\\\\?\\UNC\\localhost\\share\\a.dll",
        L"\\\\?\\GLOBALROOT\\Device\\Harddisk0\\a.dll",
        L"\\\\.\\PhysicalDrive0\\a.dll",
    };
    for (const std::wstring& path : paths) {
        struct Walk {
            std::wstring path;
            static DWORD WINAPI Run(void* walk) {
                Findings findings;
                AddPlacementFindings(findings, "the file", static_cast<Walk*>(walk)->path);
                return 0;
            }
        };
        // A walk that does not end is left running, at the lowest priority,
        // until the program ends: a thread ended wherever it stands may hold
        // the heap's lock, and the rest of the run would wait on it for ever.
        Walk* walk = new Walk{path};
        HANDLE thread = CreateThread(nullptr, 0, &Walk::Run, walk, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        DWORD waited = WaitForSingleObject(thread, 10000);
        if (waited == WAIT_OBJECT_0) {
            delete walk;
        } else {
            SetThreadPriority(thread, THREAD_PRIORITY_IDLE);
        }
        CloseHandle(thread);
        EXPECT_EQ(WAIT_OBJECT_0, waited)
            << "the walk up from " << ReportText(path) << " did not end";
    }
}

struct RestartCase {
    const char* name;
    // The DLL's full path has this length, or 0: it lies on the drive.
    size_t pathLength;
    Drive drive;
    // The recorder's refusal and the inspector's failure: "the file ..."; or
    // "" when both accept the file.
    const char* failure;
    bool registered;
    // The file on the drive is the new version, "new.dll", which a pending
    // move puts in the scratch folder's "c.dll", the file recorded.
    bool arrives = false;
};

void PrintTo(const RestartCase& row, std::ostream* out) {
    *out << row.name;
}

class RestartReach : public PassReach, public testing::WithParamInterface<RestartCase> {};

// The recorder, the inspector and the pass after Wine's restart agree: what
// the first two accept is registered, what they refuse is not. A drive that
// stands for a folder goes before the restart, as a drive of the installing
// user's session is not there at the logon that runs the pass. A file they
// refuse is recorded by hand, so that the pass has it to try.
TEST_P(RestartReach, RecorderAndInspectorSayWhatThePassThenDoes) {
    const RestartCase& row = GetParam();
    if (!harness::RunningUnderWine()) {
        GTEST_SKIP() << "a restart is made on demand only under Wine";
    }
    ASSERT_TRUE(MakeDrive(row.drive)) << "the drive could not be made";
    std::string file = Expand("{letter}:\\c.dll");
    std::string lying = dir() + "\\net\\c.dll";
    if (row.arrives) {
        file = dir() + "\\c.dll";
        lying = dir() + "\\net\\new.dll";
    } else if (row.drive == Drive::None) {
        file = lying = dir() + "\\" + std::string(row.pathLength - dir().size() - 5, 'x') + ".dll";
    }
    ASSERT_TRUE(CopyFileW(Widen(harness::FixturePath("recorder.dll")).c_str(), Widen(lying).c_str(),
                          FALSE));
    ASSERT_EQ(row.pathLength == 0 ? file.size() : row.pathLength, file.size());
    ASSERT_TRUE(!row.arrives ||
                MoveFileExA(Expand("{letter}:\\new.dll").c_str(), file.c_str(),
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    std::string said = Expand(row.failure);

    Output recorded = Record("add --view=64 --tool=\"{self}\" --work-set=reach \"" + file + "\"");
    if (*row.failure != '\0') {
        EXPECT_EQ(2u, recorded.exitCode) << recorded.text;
        EXPECT_NE(std::string::npos, recorded.text.find("pendreg-record: " + file + ": " + said))
            << recorded.text;
        ASSERT_TRUE(
            harness::RecordWorkSets({{"reach", harness::With(harness::Entries({{"D", ""}}),
                                                             {harness::Sz("1.file", file)})}},
                                    dir(), KEY_WOW64_64KEY));
    } else {
        EXPECT_EQ(0u, recorded.exitCode) << recorded.text;
    }
    ASSERT_TRUE(harness::SetRunOnce(kArmName, "\"" + self_ + "\" /S"));
    Output inspected = harness::RunCapturing(
        Widen("\"" + harness::InspectorPath() + "\" --view=64 --tool=\"" + self_ + "\""), dir());
    EXPECT_EQ(*row.failure != '\0' ? 1u : 0u, inspected.exitCode) << inspected.text;
    EXPECT_TRUE(*row.failure == '\0' || BeginsALine(inspected, "    FAIL " + said))
        << inspected.text;
    if (drive_ != nullptr) {
        drive_->Remove();
    }

    ASSERT_TRUE(harness::RestartWine());
    EXPECT_TRUE(harness::Eventually([] {
        return !harness::KeyExists(HKEY_LOCAL_MACHINE, harness::kPendingKey, KEY_WOW64_64KEY);
    })) << "the pass did not run";
    EXPECT_EQ(row.registered, Registered(log_, file));
}

const RestartCase kRestartCases[] = {
    {"PathOf259Characters", 259, Drive::None, "", true},
    // Windows takes no more than 259 (MAX_PATH with its terminator); Wine's
    // loader takes one more, so the pass registers what the checks refuse.
    {"PathOf260Characters", 260, Drive::None,
     "the file has a path of 260 characters, and the tool opens files through ANSI functions, "
     "which take at most 259",
     true},
    {"PathOf261Characters", 261, Drive::None,
     "the file has a path of 261 characters, and the tool opens files through ANSI functions, "
     "which take at most 259",
     false},
    {"NetworkDriveGoneAtLogon", 0, Drive::Network,
     "the file is on a network drive ({letter}:): the pass runs at the next logon, when only the "
     "machine's local fixed drives are certain to be there",
     false},
    // Out of the machine by the next logon, as far as anyone can know now.
    {"RemovableDriveGoneAtLogon", 0, Drive::Removable,
     "the file is on a removable drive ({letter}:): the pass runs at the next logon, when only "
     "the machine's local fixed drives are certain to be there",
     false},
    // The restart's move from a drive that is gone puts nothing in place.
    {"NewVersionOnANetworkDrive", 0, Drive::Network,
     "the new version {letter}:\\new.dll is on a network drive ({letter}:): the pass runs at the "
     "next logon, when only the machine's local fixed drives are certain to be there",
     false, true},
    // Wine's error for the letter varies: 2 or 433.
    {"LinkedLetterGoneAtLogon", 0, Drive::Link,
     "the file is on drive {letter}:, a letter that stands for no volume of the machine "
     "(QueryDosDevice: error ",
     false},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RestartReach, testing::ValuesIn(kRestartCases),
                         [](const testing::TestParamInfo<RestartCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

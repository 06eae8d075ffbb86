#pragma once
// What the tests share: starting programs with a time-out, scratch folders,
// the fixtures' log, and registry checks. Written against the plain Windows
// API so that the suite runs the same on Windows as under Wine.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace harness {

// Long enough for a slow emulated child, short enough that a message box or a
// hang fails the test instead of stalling the suite.
const DWORD kChildTimeoutMs = 120000;

std::string TestProgramPath();
// The tool built from the same sources as the test program, and its
// inspector beside it.
std::string ToolPath();
std::string InspectorPath();
std::string RecorderPath();
// The system directory, as this process sees it.
std::string SystemDirectory();
// A file built by tests/fixtures.
std::string FixturePath(const char* name);
std::string FolderOf(const std::string& path);

struct RunResult {
    bool finished;  // false: the time-out ran out and the process was killed,
                    // or it never started
    DWORD exitCode; // valid when finished
    bool started;   // false: CreateProcess failed, with startError
    DWORD startError;
};

// Starts commandLine with CreateProcess and waits at most timeoutMs. With an
// application, the command line is passed exactly as given, whatever its
// first token says. With an inheritable output handle, the program's standard
// output and error go there. A program that cannot be started fails the
// test, with the error code.
RunResult Run(const std::string& commandLine, const char* application = nullptr,
              const char* currentDirectory = nullptr, DWORD timeoutMs = kChildTimeoutMs,
              HANDLE output = nullptr);
// The same for a Unicode command line, which can carry paths that the ANSI
// code page cannot hold; output as for Run, and required.
RunResult RunWide(std::wstring commandLine, HANDLE output);
// Starts it without waiting, with the token given (null: this program's):
// the platform's error (the test failed, with it) when it could not be
// started; else the caller owns the process's handles.
DWORD StartWide(std::wstring commandLine, HANDLE output, PROCESS_INFORMATION* process,
                HANDLE token = nullptr);

// What a console program said, and its exit code (259 when it was killed).
struct Output {
    DWORD exitCode = 0;
    std::string text;               // standard output and error, as written
    std::vector<std::string> lines; // the text's lines, without line ends
    bool Has(const std::string& line) const;
};
// Runs the Unicode command line with its standard output and error in one
// file in dir, which is removed again.
Output RunCapturing(const std::wstring& commandLine, const std::string& dir);
// The text in the ANSI code page as UTF-16, for Unicode command lines.
std::wstring Widen(const std::string& text);
// UTF-8 text as UTF-16: a row's arguments written with characters that the
// ANSI code page cannot hold.
std::wstring FromUtf8(const std::string& text);

// A folder of its own under the temporary folder, removed with its contents
// when the object goes.
class ScratchFolder {
  public:
    ScratchFolder();
    // The folder at a fixed path, for output that shows paths (the README's
    // sample). One that is there already fails the test and is left alone.
    explicit ScratchFolder(const std::string& path);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const {
        return path_;
    }
    // Copies a fixture (or any file) into the folder, or into a subfolder
    // given in name; returns the copy's full path. A copy or a file that
    // cannot be made fails the test, with the error code.
    std::string Copy(const std::string& source, const std::string& name) const;
    std::string Write(const std::string& name, const std::string& content) const;

  private:
    void Make();

    std::string path_;
    bool made_ = false;
};

std::string ReadFile(const std::string& path);
// Fails the test, with the error code, when the file cannot be written whole.
void WriteWholeFile(const std::string& path, const std::string& content);
// Deletes the file, read-only or not.
void RemoveFile(const std::string& path);
bool FileExists(const std::string& path);
// Removes the folder with everything in it, read-only files too.
void RemoveFolder(const std::string& folder);

// The text with every occurrence of token replaced by value: how the tables
// name paths that exist only once a test runs.
std::string ReplaceAll(std::string text, const std::string& token, const std::string& value);

// One line of the fixtures' log: an event and its key=value fields.
struct Record {
    std::string event;
    std::map<std::string, std::string> fields;
    std::string field(const char* key) const;
};

// The log the fixtures append to, in its own scratch file. While the object
// lives, PENDREG_TEST_LOG names it; children inherit that.
class RecordLog {
  public:
    RecordLog();
    ~RecordLog();
    // Fails the test when a fixture could not add a record, saying which and
    // why.
    std::vector<Record> Read() const;
    // The events only, in order: the shape of most checks.
    std::vector<std::string> Events() const;
    // The log as the fixtures wrote it, for a failure's message.
    std::string Text() const;

  private:
    ScratchFolder folder_;
    std::string path_;
    mutable bool lostReported_ = false;
};

// Paths compare without regard to case on Windows.
std::string Lower(std::string text);

// Whether the platform's delayed-move list deletes the file at the next
// restart: the file is the source of a pair whose target is empty. System
// versions store the path with "\??\" in front or without; both count.
bool ListedForDeletionAtRestart(const std::string& path);
// What the delayed-move list does to the path at the next restart, by the
// last pair that names it: "deleted", "moved away", "replaced" (a move onto
// it with the replace flag, which the list marks with "!" before the
// target), "moved onto" (without the flag, which fails over a file that is
// there), or "" when no pair names it.
std::string FateAtRestart(const std::string& path);

// The command lines that a report of the inspector or the recorder says the
// pass will start: its "  entry N (MODE): runs ..." lines, in order.
std::vector<std::string> PrintedCommandLines(const std::vector<std::string>& lines);
// The command lines that a pass of the given tool (the test program standing
// in for it) started, as its children and the fixtures recorded them, in
// order: the tool's own children, regsvr32.exe's registrations, and
// executable servers.
std::vector<std::string> StartedCommandLines(const RecordLog& log, const std::string& tool);

bool KeyExists(HKEY root, const std::string& path, REGSAM view = 0);
void DeleteTree(HKEY root, const std::string& path, REGSAM view = 0);

// Whether the suite runs under Wine, where a restart can be made on demand.
bool RunningUnderWine();
// Whether the system folder of 32-bit programs is empty on 64-bit Windows: a
// Wine prefix made where Debian's 32-bit Wine is missing or cannot run (a
// kernel without 32-bit support, outside the WoW64 lane's emulation), in which
// no 32-bit program or DLL finds the modules of the system.
bool ThirtyTwoBitSystemMissing();
// Why a test that needs them skips itself there.
const char kNo32BitSystem[] = "the prefix has no 32-bit system modules: 32-bit Wine is missing, "
                              "or cannot run here outside the WoW64 lane's emulation; the WoW64 "
                              "lane runs it";
// For a test that needs the 32-bit side: whether it is missing, in which case
// the running test is named in kLaneRows beside the test program, for the
// WoW64 lane to run it in a prefix that has one. No row is skipped in both.
bool LeftToTheLane();
const char kLaneRows[] = "lane-rows.txt";
// Wine's restart: carries out the deletions scheduled for the next boot.
bool RestartWine();

// Checks the condition every 100 ms for up to 30 s: what a restart starts
// may still be running when the restart itself has returned.
template <typename Condition> bool Eventually(Condition condition) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (condition()) {
            return true;
        }
        Sleep(100);
    }
    return condition();
}

} // namespace harness

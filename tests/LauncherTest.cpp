// The launcher: which program an entry starts, with which command line to the
// byte, and that the registration is done by the time RegisterEntry returns.
// Started in child mode, "the tool's own image" is this test program, which
// records the command line it got before doing the tool's child-mode work.
#include "harness/Harness.h"
#include "pending/Launcher.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <thread>

namespace {

const char kSampleLibId[] = "TypeLib\\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}";

struct LaunchCase {
    const char* name;
    char kind;
    // Tokens: "{dir}" the scratch folder, "{self}" this program, "{sys}" the
    // system directory, "{fit}" a DLL path that makes the child command line
    // exactly 1023 characters (the most that fits 1024 bytes with the
    // terminator), "{fit+1}" one character longer.
    const char* file;
    bool is64Bit;
    // The command line the started program recorded (first record's
    // "cmdline"); null when the started program records none.
    const char* startedLine;
    // What the fixtures recorded, in order, space-separated; "": no process
    // was started at all.
    const char* events;
    // The image that ran DllRegisterServer, for rows that register a DLL.
    const char* registeredIn;
    bool typeLibraryRegistered;
};

const LaunchCase kLaunchCases[] = {
    {"ExeServerGetsRegserver", 'E', "{dir}\\exe server.exe", false,
     "\"{dir}\\exe server.exe\" /regserver", "exe", nullptr, false},
    {"MarkedExeServerGetsTheSameLine", 'E', "{dir}\\exe server.exe", true,
     "\"{dir}\\exe server.exe\" /regserver", "exe", nullptr, false},
    {"DllInChildModeWithPathUnquoted", 'D', "{dir}\\with space\\recorder.dll", false,
     "\"{self}\" /D{dir}\\with space\\recorder.dll", "child register unload", "{self}", false},
    {"TypeLibraryInChildMode", 'T', "{dir}\\sample.tlb", false, "\"{self}\" /T{dir}\\sample.tlb",
     "child", nullptr, true},
    {"MarkedDllThroughSystemRegsvr32", 'D', "{dir}\\with space\\recorder.dll", true, nullptr,
     "register unload", "{sys}\\regsvr32.exe", false},
    // With the marker the kind letter is not looked at any further: a T entry
    // naming a DLL is registered by regsvr32 too, which child mode would not do.
    {"MarkedTypeLibraryKindAlsoThroughRegsvr32", 'T', "{dir}\\recorder.dll", true, nullptr,
     "register unload", "{sys}\\regsvr32.exe", false},
    {"LowerCaseDllKindStartsNothing", 'd', "{dir}\\recorder.dll", false, nullptr, "", nullptr,
     false},
    {"LowerCaseExeKindStartsNothing", 'e', "{dir}\\exe server.exe", true, nullptr, "", nullptr,
     false},
    {"KindXStartsNothing", 'X', "{dir}\\recorder.dll", false, nullptr, "", nullptr, false},
    {"NulKindStartsNothing", '\0', "{dir}\\recorder.dll", false, nullptr, "", nullptr, false},
    {"EmptyDllPathStartsNothing", 'D', "", false, nullptr, "", nullptr, false},
    {"EmptyExePathStartsNothing", 'E', "", false, nullptr, "", nullptr, false},
    {"EmptyMarkedPathStartsNothing", 'T', "", true, nullptr, "", nullptr, false},
    {"ChildLineOf1023CharactersStarted", 'D', "{fit}", false, "\"{self}\" /D{fit}", "child",
     nullptr, false},
    // Cut to fit, the line would name another file: nothing is started.
    {"ChildLineOf1024CharactersStartsNothing", 'D', "{fit+1}", false, nullptr, "", nullptr, false},
};

const size_t kLongestChildLine = 1023;

// A DLL path in the folder, padded so that "\"<self>\" /D<path>" has the
// given length. The file need not exist: the recorded line is the proof.
std::string PaddedDllPath(const std::string& dir, size_t lineLength) {
    size_t fixed = harness::TestProgramPath().size() + 5 + dir.size() + 1 + 4;
    return dir + "\\" + std::string(lineLength - fixed, 'a') + ".dll";
}

std::string Expand(std::string text, const std::string& dir) {
    const std::pair<std::string, std::string> tokens[] = {
        {"{fit+1}", PaddedDllPath(dir, kLongestChildLine + 1)},
        {"{fit}", PaddedDllPath(dir, kLongestChildLine)},
        {"{dir}", dir},
        {"{self}", harness::TestProgramPath()},
        {"{sys}", harness::SystemDirectory()},
    };
    for (const auto& token : tokens) {
        text = harness::ReplaceAll(text, token.first, token.second);
    }
    return text;
}

// Kills the processes this one started, so that a wait on them ends.
void KillChildren() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID != GetCurrentProcessId()) {
            continue;
        }
        HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (child != nullptr) {
            TerminateProcess(child, 259);
            CloseHandle(child);
        }
    }
    CloseHandle(snapshot);
}

// How many processes this program has started, and those they started in
// turn: it joins a job once, and its children inherit it. A row whose
// programs record nothing (regsvr32.exe given an empty path or an executable)
// can then still tell "started nothing" from "started, and it failed".
DWORD ProcessesStarted() {
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectA(nullptr, nullptr);
        AssignProcessToJobObject(created, GetCurrentProcess());
        return created;
    }();
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                              sizeof(accounting), nullptr);
    return accounting.TotalProcesses;
}

// RegisterEntry waits for its child without time-out; the test gives it one.
// False when the time-out ran out (the child is then killed).
bool RegisterEntryWithin(char kind, const std::string& file, bool is64Bit, DWORD timeoutMs) {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread launcher([&] {
        RegisterEntry(kind, file.c_str(), is64Bit);
        SetEvent(done);
    });
    bool finished = WaitForSingleObject(done, timeoutMs) == WAIT_OBJECT_0;
    while (WaitForSingleObject(done, 1000) != WAIT_OBJECT_0) {
        KillChildren();
    }
    launcher.join();
    CloseHandle(done);
    return finished;
}

class Launcher : public testing::TestWithParam<LaunchCase> {
  protected:
    void SetUp() override {
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
        scratch_.Copy(harness::FixturePath("exeserver.exe"), "exe server.exe");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "recorder.dll");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "with space\\recorder.dll");
        scratch_.Copy(harness::FixturePath("sample.tlb"), "sample.tlb");
    }
    void TearDown() override {
        harness::DeleteTree(HKEY_CLASSES_ROOT, kSampleLibId);
    }

    harness::ScratchFolder scratch_;
    harness::RecordLog log_;
};

TEST_P(Launcher, StartsTheRightProgramWithTheExactLine) {
    const LaunchCase& row = GetParam();
    std::string file = Expand(row.file, scratch_.path());
    DWORD before = ProcessesStarted();

    ASSERT_TRUE(RegisterEntryWithin(row.kind, file, row.is64Bit, harness::kChildTimeoutMs))
        << "the started program did not end";
    // A row that records nothing starts nothing; one that records, something.
    bool startsNothing = *row.events == '\0';
    DWORD started = ProcessesStarted() - before;
    EXPECT_EQ(startsNothing, started == 0) << "processes started: " << started;

    // All of it is there when RegisterEntry returns: it waited for the child.
    std::vector<harness::Record> records = log_.Read();
    std::string events;
    for (const std::string& event : log_.Events()) {
        events += (events.empty() ? "" : " ") + event;
    }
    EXPECT_EQ(row.events, events);
    if (row.startedLine != nullptr && !records.empty()) {
        std::string expected = Expand(row.startedLine, scratch_.path());
        EXPECT_EQ(expected, records[0].field("cmdline"));
    }
    EXPECT_EQ(row.typeLibraryRegistered, harness::KeyExists(HKEY_CLASSES_ROOT, kSampleLibId));
    for (const harness::Record& record : records) {
        if (record.event != "register") {
            continue;
        }
        if (row.registeredIn == nullptr) {
            ADD_FAILURE() << "registered, though the row registers nothing";
            continue;
        }
        EXPECT_EQ(harness::Lower(file), harness::Lower(record.field("module")));
        EXPECT_EQ(harness::Lower(Expand(row.registeredIn, scratch_.path())),
                  harness::Lower(record.field("process")));
        EXPECT_EQ(harness::Lower(harness::TestProgramPath()),
                  harness::Lower(record.field("parent")))
            << "started through something else than the launcher";
        if (std::string(row.registeredIn) == "{self}") {
            EXPECT_EQ("1", record.field("ole"));
            EXPECT_EQ("0x8001", record.field("errmode"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Launcher, Launcher, testing::ValuesIn(kLaunchCases),
                         [](const testing::TestParamInfo<LaunchCase>& info) {
                             return std::string(info.param.name);
                         });

// The padding itself: a row for 1023 that built some other length would pass
// for the wrong reason.
TEST(LauncherPadding, FitRowsAreAtTheLimit) {
    std::string dir = "C:\\x";
    EXPECT_EQ(kLongestChildLine, Expand("\"{self}\" /D{fit}", dir).size());
    EXPECT_EQ(kLongestChildLine + 1, Expand("\"{self}\" /D{fit+1}", dir).size());
}

} // namespace

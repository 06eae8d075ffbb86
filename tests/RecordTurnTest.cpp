// Recorders take turns through a lock that no standard user can take first:
// a named object of the old spelling held by anyone delays nothing, a turn
// held by another process makes the recorder wait and then go on, the turn
// is held while the verb runs, and a holder that died stops no one.
#include "harness/Harness.h"
#include "harness/Placement.h"
#include "harness/TurnHolder.h"
#include "harness/WorkSets.h"
#include "record/TurnLock.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <memory>

namespace {

// Enough entries that what add prints outgrows the pipe and the run-time
// library's buffer: a recorder whose output is not read stops inside its verb.
const DWORD kEntries = 400;
const DWORD kFinishMs = 60000;

// The recorder with its standard output and error in a pipe that the test
// reads when it chooses.
class PipedRecorder {
  public:
    explicit PipedRecorder(const std::string& arguments) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, &inherit, 4096)) {
            ADD_FAILURE() << "no pipe: error " << GetLastError();
            return;
        }
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        std::wstring line = harness::Widen("\"" + harness::RecorderPath() + "\" " + arguments);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = write;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            ADD_FAILURE() << "could not start the recorder: error " << GetLastError();
        } else {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
        }
        CloseHandle(write);
    }
    ~PipedRecorder() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 259);
            WaitForSingleObject(process_, 10000);
            CloseHandle(process_);
        }
        CloseHandle(read_);
    }
    PipedRecorder(const PipedRecorder&) = delete;
    PipedRecorder& operator=(const PipedRecorder&) = delete;

    bool Running(DWORD waitMs) const {
        return process_ != nullptr && WaitForSingleObject(process_, waitMs) == WAIT_TIMEOUT;
    }
    // Bytes written and not read yet.
    DWORD Waiting() const {
        DWORD available = 0;
        PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr);
        return available;
    }
    // Reads what was written, once something was; false when nothing came
    // within the time.
    bool ReadSome(DWORD timeoutMs) {
        DWORD started = GetTickCount();
        while (Waiting() == 0) {
            if (GetTickCount() - started > timeoutMs || !Running(0)) {
                return Waiting() != 0 && ReadChunk();
            }
            Sleep(20);
        }
        return ReadChunk();
    }
    // Reads to the end and returns the exit code; 259 when it did not end.
    DWORD Finish() {
        while (ReadChunk()) {
        }
        DWORD code = 259;
        if (process_ != nullptr && WaitForSingleObject(process_, kFinishMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_, &code);
        }
        return code;
    }
    const std::string& text() const {
        return text_;
    }

  private:
    bool ReadChunk() {
        char chunk[4096];
        DWORD read = 0;
        if (!::ReadFile(read_, chunk, sizeof(chunk), &read, nullptr) || read == 0) {
            return false;
        }
        text_.append(chunk, read);
        return true;
    }

    HANDLE read_ = nullptr;
    HANDLE process_ = nullptr;
    std::string text_;
};

// A named object of the spelling the recorders once took turns by, made
// first by someone else and held.
class Squatter {
  public:
    // list: null for none at all (nothing is made), "" for the default one.
    explicit Squatter(const char* list) {
        if (list == nullptr) {
            return;
        }
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (*list != '\0') {
            ConvertStringSecurityDescriptorToSecurityDescriptorA(list, SDDL_REVISION_1, &descriptor,
                                                                 nullptr);
        }
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        mutex_ = CreateMutexW(&attributes, TRUE, L"Global\\pendreg-record");
        LocalFree(descriptor);
    }
    ~Squatter() {
        if (mutex_ != nullptr) {
            ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
    }
    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;

    bool holds() const {
        return mutex_ != nullptr;
    }

  private:
    HANDLE mutex_ = nullptr;
};

enum class Holder {
    None,
    // Another process holds the turn, then lets it go.
    Holds,
    // Another process held it and was ended.
    Died,
};

struct TurnCase {
    const char* name;
    // The old name squatted, with this access list ("" none of its own);
    // null: not squatted.
    const char* squatted;
    Holder holder;
};

void PrintTo(const TurnCase& row, std::ostream* out) {
    *out << row.name;
}

class RecorderTurn : public testing::TestWithParam<TurnCase> {
  protected:
    void SetUp() override {
        harness::RemovePendingKey();
        ASSERT_TRUE(harness::KeepToAdministrators(scratch_.path()));
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
        scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
    }
    void TearDown() override {
        harness::RemovePendingKey();
    }

    std::string AddCommand() const {
        std::string add = "add --view=64 --tool=\"" + self_ + "\" --work-set=turn --kind=D";
        for (DWORD index = 0; index < kEntries; ++index) {
            add += " " + scratch_.path() + "\\a.dll";
        }
        return add;
    }
    static DWORD Recorded() {
        DWORD count = 0;
        DWORD size = sizeof(count);
        RegGetValueA(HKEY_LOCAL_MACHINE, (std::string(harness::kPendingKey) + "\\turn").c_str(),
                     "count", RRF_RT_REG_DWORD, nullptr, &count, &size);
        return count;
    }

    harness::ScratchFolder scratch_;
    std::string self_;
};

// The recorder goes on as soon as no other recorder holds the turn, holds it
// itself until its verb is done, and lets it go when it ends.
TEST_P(RecorderTurn, WaitsOnlyForAnotherRecorder) {
    const TurnCase& row = GetParam();
    Squatter squatter(row.squatted);
    ASSERT_TRUE(row.squatted == nullptr || squatter.holds()) << "error " << GetLastError();
    harness::TurnHolder* holder = nullptr;
    std::unique_ptr<harness::TurnHolder> owned;
    if (row.holder != Holder::None) {
        owned.reset(new harness::TurnHolder());
        holder = owned.get();
        ASSERT_TRUE(holder->holds());
    }
    if (row.holder == Holder::Died) {
        holder->Kill();
    }

    PipedRecorder recorder(AddCommand());
    if (row.holder == Holder::Holds) {
        EXPECT_TRUE(recorder.Running(2000)) << "did not wait for the holder:\n" << recorder.text();
        EXPECT_EQ(0u, recorder.Waiting()) << "went on while another held the turn";
        EXPECT_EQ(0u, Recorded()) << "recorded while another held the turn";
        holder->Release();
    }
    // Its output unread, the recorder stops inside its verb: the turn must be
    // its own there.
    ASSERT_TRUE(recorder.ReadSome(kFinishMs)) << "said nothing within a minute";
    if (recorder.Running(0)) {
        TurnLock probe;
        DWORD error = ERROR_SUCCESS;
        EXPECT_EQ(static_cast<int>(TurnTaken::Busy), static_cast<int>(probe.Take(0, &error)))
            << "the turn was free while the verb ran";
    } else {
        ADD_FAILURE() << "ended before its output was read; raise kEntries";
    }
    EXPECT_EQ(0u, recorder.Finish()) << recorder.text();
    EXPECT_EQ(kEntries, Recorded());
    TurnLock after;
    DWORD error = ERROR_SUCCESS;
    EXPECT_EQ(static_cast<int>(TurnTaken::Taken), static_cast<int>(after.Take(0, &error)))
        << "the turn stayed taken after the recorder ended (error " << error << ")";
}

const TurnCase kTurnCases[] = {
    {"NoOtherRecorder", nullptr, Holder::None},
    {"OldNameHeldBySomeoneElse", "", Holder::None},
    {"OldNameHeldWithAListThatLetsNoOneIn", "D:P", Holder::None},
    {"HeldByAnotherProcessThenLetGo", nullptr, Holder::Holds},
    {"HolderDiedHoldingIt", nullptr, Holder::Died},
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecorderTurn, testing::ValuesIn(kTurnCases),
                         [](const testing::TestParamInfo<TurnCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

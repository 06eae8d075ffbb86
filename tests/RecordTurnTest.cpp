// Recorders take turns through a lock that no standard user can take first:
// a named object of the old spelling held by anyone delays nothing, a turn
// held by another process makes the recorder wait and then go on, the turn
// is held while the verb runs, and a holder that died stops no one.
#include "checks/trust/AccessList.h"
#include "harness/Guards.h"
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
    // token: the recorder's own, or null for this program's.
    explicit PipedRecorder(const std::string& arguments, HANDLE token = nullptr) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, &inherit, 4096)) {
            ADD_FAILURE() << "no pipe: error " << GetLastError();
            return;
        }
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        PROCESS_INFORMATION process;
        if (harness::StartWide(harness::Widen("\"" + harness::RecorderPath() + "\" " + arguments),
                               write, &process, token) == ERROR_SUCCESS) {
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

class RecorderTurns : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(harness::KeepToAdministrators(scratch_.path()));
        self_ = scratch_.Copy(harness::TestProgramPath(), "self\\pendreg.exe");
        std::string dll = scratch_.Copy(harness::FixturePath("recorder.dll"), "a.dll");
        // Copies, not names of one file: a work set records each file once,
        // whatever names it has.
        for (DWORD index = 0; index < kEntries; ++index) {
            std::string name = scratch_.path() + "\\" + std::to_string(index) + ".dll";
            ASSERT_TRUE(CopyFileA(dll.c_str(), name.c_str(), FALSE))
                << name << ": error " << GetLastError();
        }
    }

    std::string AddCommand() const {
        std::string add = "add --view=64 --tool=\"" + self_ + "\" --work-set=turn --kind=D";
        for (DWORD index = 0; index < kEntries; ++index) {
            add += " " + scratch_.path() + "\\" + std::to_string(index) + ".dll";
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

    // add notes what it recorded in the products' record too.
    harness::PendingKeyGuard pendingKey_;
    harness::ScratchFolder scratch_;
    std::string self_;
};

class RecorderTurn : public RecorderTurns, public testing::WithParamInterface<TurnCase> {};

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

// This program's token with Administrators for denying only: what a member
// of Administrators runs with before it is elevated.
class StandardToken {
  public:
    StandardToken() {
        HANDLE own = nullptr;
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(administrators);
        SID_AND_ATTRIBUTES disabled = {administrators, 0};
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) &&
            CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
            !CreateRestrictedToken(own, 0, 1, &disabled, 0, nullptr, 0, nullptr, &token_)) {
            token_ = nullptr;
        }
        CloseHandle(own);
    }
    ~StandardToken() {
        CloseHandle(token_);
    }
    StandardToken(const StandardToken&) = delete;
    StandardToken& operator=(const StandardToken&) = delete;

    HANDLE get() const {
        return token_;
    }

  private:
    HANDLE token_ = nullptr;
};

// Not elevated, the recorder says why it cannot go on, and does nothing.
TEST_F(RecorderTurns, RefusedToAStandardUserWithAReason) {
    StandardToken token;
    ASSERT_NE(nullptr, token.get()) << "no restricted token: error " << GetLastError();
    PipedRecorder recorder(AddCommand(), token.get());

    EXPECT_EQ(2u, recorder.Finish());
    EXPECT_NE(std::string::npos,
              recorder.text().find("pendreg-record: cannot take turns with other recorders: only "
                                   "an administrator may open "))
        << recorder.text();
    EXPECT_EQ(0u, Recorded());
}

// The lock file's own list lets a standard user's logon do nothing with it:
// not open it to hold it, not change its list, not take it over. Wine keeps
// no list on files, so the list the recorder makes the file with is judged.
TEST(RecorderTurnLock, FileListLetsNoStandardUserOpenIt) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kTurnLockList, SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << "error " << GetLastError();
    GENERIC_MAPPING file = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    EXPECT_EQ(0u, RightsOfStandardUser(descriptor, nullptr, file));
    LocalFree(descriptor);
}

} // namespace

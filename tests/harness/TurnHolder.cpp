#include "harness/TurnHolder.h"

#include "harness/Harness.h"
#include "record/TurnLock.h"

#include <gtest/gtest.h>

#include <sstream>

namespace harness {

namespace {

const char kHoldVariable[] = "PENDREG_TEST_HOLD_TURN";
const DWORD kHolderLifeMs = 120000;

} // namespace

bool HoldTurnIfAsked() {
    char name[128];
    DWORD length = GetEnvironmentVariableA(kHoldVariable, name, sizeof(name));
    if (length == 0 || length >= sizeof(name)) {
        return false;
    }
    TurnLock lock;
    DWORD error = ERROR_SUCCESS;
    if (lock.Take(kHolderLifeMs, &error) != TurnTaken::Taken) {
        return true;
    }
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, (std::string(name) + " held").c_str());
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, (std::string(name) + " release").c_str());
    SetEvent(held);
    WaitForSingleObject(release, kHolderLifeMs);
    CloseHandle(held);
    CloseHandle(release);
    return true;
}

TurnHolder::TurnHolder() {
    std::ostringstream name;
    name << "pendreg turn " << GetCurrentProcessId() << "-" << GetTickCount();
    name_ = name.str();
    held_ = CreateEventA(nullptr, TRUE, FALSE, (name_ + " held").c_str());
    release_ = CreateEventA(nullptr, TRUE, FALSE, (name_ + " release").c_str());
    SetEnvironmentVariableA(kHoldVariable, name_.c_str());
    std::string line = "\"" + TestProgramPath() + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    bool started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process);
    SetEnvironmentVariableA(kHoldVariable, nullptr);
    if (!started) {
        ADD_FAILURE() << "could not start the turn's holder: error " << GetLastError();
        return;
    }
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    HANDLE either[] = {held_, process_};
    holds_ = WaitForMultipleObjects(2, either, FALSE, 60000) == WAIT_OBJECT_0;
    if (!holds_) {
        ADD_FAILURE() << "the turn's holder did not take the turn within a minute";
    }
}

void TurnHolder::Release() {
    SetEvent(release_);
    if (process_ != nullptr && WaitForSingleObject(process_, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the turn's holder did not end when let go";
        Kill();
    }
    holds_ = false;
}

void TurnHolder::Kill() {
    if (process_ != nullptr) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 30000);
    }
    holds_ = false;
}

TurnHolder::~TurnHolder() {
    SetEvent(release_);
    Kill();
    if (process_ != nullptr) {
        CloseHandle(process_);
    }
    CloseHandle(held_);
    CloseHandle(release_);
}

} // namespace harness

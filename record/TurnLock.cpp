#include "record/TurnLock.h"

#include <sddl.h>

namespace {

// How often a waiting recorder looks again.
const DWORD kPollMs = 50;

// Whether this process's token holds Administrators. A process that does not
// (not elevated) may have its writes to the Windows folder sent to a store of
// its own, and would then seem to hold a lock that no other recorder sees.
bool RunsAsAdministrator() {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
           CheckTokenMembership(nullptr, administrators, &member) && member;
}

} // namespace

std::wstring TurnLockPath() {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    std::wstring path(windows, length);
    if (path.back() != L'\\') {
        path += L'\\';
    }
    return path + L"pendreg-record.lock";
}

TurnLock::~TurnLock() {
    Release();
}

TurnTaken TurnLock::TryOnce(DWORD* error) {
    std::wstring path = TurnLockPath();
    if (path.empty()) {
        *error = GetLastError();
        return TurnTaken::Failed;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kTurnLockList, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        *error = GetLastError();
        return TurnTaken::Failed;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    // The file stays once made: its being there says nothing about a holder,
    // so a recorder that died holding it stops no one.
    file_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_HIDDEN, nullptr);
    *error = GetLastError();
    LocalFree(descriptor);
    if (file_ != INVALID_HANDLE_VALUE) {
        return TurnTaken::Taken;
    }
    if (*error == ERROR_SHARING_VIOLATION) {
        return TurnTaken::Busy;
    }
    return *error == ERROR_ACCESS_DENIED ? TurnTaken::Denied : TurnTaken::Failed;
}

TurnTaken TurnLock::Take(DWORD waitMs, DWORD* error) {
    Release();
    *error = ERROR_SUCCESS;
    if (!RunsAsAdministrator()) {
        *error = ERROR_ACCESS_DENIED;
        return TurnTaken::Denied;
    }
    DWORD started = GetTickCount();
    for (;;) {
        TurnTaken taken = TryOnce(error);
        if (taken != TurnTaken::Busy || GetTickCount() - started >= waitMs) {
            return taken;
        }
        Sleep(kPollMs);
    }
}

void TurnLock::Release() {
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
}

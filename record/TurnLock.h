#pragma once
// Recorders take turns: every verb reads what is there (a work set's count,
// the pending renames, the RunOnce values) and then changes it, and two
// installers recording at once would otherwise both write from what they
// read. One lock for the whole machine, whatever session a recorder runs in.
//
// The lock is a file in the Windows folder, held open without sharing. Only
// administrators may add a file there, and the file's own list lets no one
// else open it, so a standard user can neither make it first nor hold it; a
// named object, by contrast, any user may create first and keep. A holder
// that ends, however it ends, has its handle closed by the system: the next
// recorder takes the lock as if it had been released.
// The lock file is made with kTurnLockList.
#include "companion/TrustedLists.h"

#include <windows.h>

#include <string>

// %windir%\pendreg-record.lock.
std::wstring TurnLockPath();

enum class TurnTaken {
    Taken,
    // Another recorder holds it.
    Busy,
    // This account may not make or open the lock: not an administrator.
    Denied,
    // Anything else; the platform's error says what.
    Failed,
};

class TurnLock {
  public:
    TurnLock() = default;
    ~TurnLock();
    TurnLock(const TurnLock&) = delete;
    TurnLock& operator=(const TurnLock&) = delete;

    // Takes the lock, waiting up to waitMs while another recorder holds it.
    // error: the platform's, for Denied and Failed.
    TurnTaken Take(DWORD waitMs, DWORD* error);
    void Release();

  private:
    TurnTaken TryOnce(DWORD* error);

    HANDLE file_ = INVALID_HANDLE_VALUE;
};

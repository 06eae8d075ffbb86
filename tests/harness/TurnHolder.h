#pragma once
// Another process that holds the recorders' turn, with the recorder's own
// lock code: the test program started again with PENDREG_TEST_HOLD_TURN set.
#include <windows.h>

#include <string>

namespace harness {

// In the test program's main: when PENDREG_TEST_HOLD_TURN names this run a
// holder, takes the turn, sets the event "NAME held", keeps the turn until
// "NAME release" is set (two minutes at most), and returns true; the program
// then ends. False in every other run.
bool HoldTurnIfAsked();

class TurnHolder {
  public:
    // Starts the holder and waits until it holds the turn; fails the test
    // when it does not within a minute.
    TurnHolder();
    // Lets the holder go, or ends it, whatever the test asserted.
    ~TurnHolder();
    TurnHolder(const TurnHolder&) = delete;
    TurnHolder& operator=(const TurnHolder&) = delete;

    bool holds() const {
        return holds_;
    }
    // Lets it release the turn and end.
    void Release();
    // Ends the process while it holds the turn.
    void Kill();

  private:
    std::string name_;
    HANDLE held_ = nullptr;
    HANDLE release_ = nullptr;
    HANDLE process_ = nullptr;
    bool holds_ = false;
};

} // namespace harness

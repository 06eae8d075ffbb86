#pragma once
// Files as the process that registers them sees them. On 64-bit Windows a
// 32-bit process sees the system folder through file-system redirection (it
// gets SysWOW64), while the 64-bit regsvr32.exe that registers a marked D or
// T entry sees the system folder itself. A companion that is a 32-bit
// process reads such an entry's file with redirection off, and every other
// file with it on, as the tool's processes do.

// Switches this thread's file-system redirection off while it lives, when
// asked to and where the platform has redirection; otherwise does nothing.
class RedirectionOff {
  public:
    explicit RedirectionOff(bool wanted);
    ~RedirectionOff();
    RedirectionOff(const RedirectionOff&) = delete;
    RedirectionOff& operator=(const RedirectionOff&) = delete;

  private:
    void* saved_ = nullptr;
    bool off_ = false;
};

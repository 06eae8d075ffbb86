#pragma once
// What the tests share through the prefix, put back when a guard goes: the
// registry values and files that one test changes must not decide another
// test's verdict. A failed ASSERT returns from the test body, and the guards'
// destructors run all the same, so one fault makes one failure.
#include <windows.h>

#include <string>
#include <vector>

namespace harness {

extern const char kSessionManagerKey[];
extern const char kRenamesValue[];

// A value under HKEY_LOCAL_MACHINE, or under the root given, in this
// program's registry view (the delayed-move list, the PATH): put back as it
// was, or deleted when it was not there.
class SavedValue {
  public:
    SavedValue(const char* path, const char* name) : SavedValue(HKEY_LOCAL_MACHINE, path, name) {}
    SavedValue(HKEY root, const char* path, const char* name);
    ~SavedValue();
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;
    // The value as it was, for a test that adds to it.
    const char* text() const {
        return value_.c_str();
    }

  private:
    HKEY root_;
    const char* path_;
    const char* name_;
    bool existed_ = false;
    DWORD type_ = REG_NONE;
    std::string value_;
};

// The platform's delayed-move list (PendingFileRenameOperations).
class SavedRenames : public SavedValue {
  public:
    SavedRenames() : SavedValue(kSessionManagerKey, kRenamesValue) {}
};

// The RunOnce value of that name, gone from both registry views when the
// guard is made and when it goes: a value left in either view runs at the
// next Wine restart of any later test.
class RunOnceGuard {
  public:
    explicit RunOnceGuard(const std::string& name);
    ~RunOnceGuard();
    RunOnceGuard(const RunOnceGuard&) = delete;
    RunOnceGuard& operator=(const RunOnceGuard&) = delete;

  private:
    std::string name_;
};

// The pending key, gone from both views when the guard is made and when it
// goes, and with it the products' record, which notes what was recorded
// there.
class PendingKeyGuard {
  public:
    PendingKeyGuard();
    ~PendingKeyGuard();
    PendingKeyGuard(const PendingKeyGuard&) = delete;
    PendingKeyGuard& operator=(const PendingKeyGuard&) = delete;
};

// The folders that arm makes for the tool's copies under the Windows
// folder's Temp ("pendreg-*"): those that were not there when the guard was
// made are removed with their contents when it goes.
class TempCopiesGuard {
  public:
    TempCopiesGuard();
    ~TempCopiesGuard();
    TempCopiesGuard(const TempCopiesGuard&) = delete;
    TempCopiesGuard& operator=(const TempCopiesGuard&) = delete;

  private:
    std::vector<std::string> before_;
};

} // namespace harness

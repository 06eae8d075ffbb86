#pragma once
// Drive letters that stand for other places, made under Wine for a test: a
// network drive or a removable one as Wine's mount manager defines them, and
// a bare link among
// the prefix's drive letters, which the mount manager does not know, as the
// rest of the machine does not know a letter substituted in one session.
#include <string>

namespace harness {

// A drive letter stands for the folder while the object lives, or until
// Remove(), as a mapping of the installing user's session is gone when the
// pass runs.
class WineDrive {
  public:
    enum class Kind { Network, Removable, Link };
    // letter() is 0 when the drive could not be made, or not under Wine.
    WineDrive(Kind kind, const std::string& folder);
    ~WineDrive();
    WineDrive(const WineDrive&) = delete;
    WineDrive& operator=(const WineDrive&) = delete;

    void Remove();
    char letter() const {
        return letter_;
    }

  private:
    Kind kind_;
    char letter_ = 0;
    std::string link_;
};

} // namespace harness

#pragma once
// Links for the rows that check that nothing is done through one. Wine 8
// makes none of its own (CreateSymbolicLinkW returns success and makes
// nothing; a junction's FSCTL_SET_REPARSE_POINT fails with
// ERROR_NOT_SUPPORTED), so under Wine the link is a Unix symbolic link in
// the prefix's drive, which Wine follows.
#include "harness/Harness.h"
#include "harness/Placement.h"

#include <string>

namespace harness {

// A symbolic link, removed when the object goes; made() says whether it is
// there. Under Wine a Unix one, which the Unix program makes in a while.
class Link {
  public:
    Link(const std::string& link, const std::string& target, bool folder) : link_(link) {
        if (RunningUnderWine()) {
            unix_ = UnixPathOf(link);
            std::string to = UnixPathOf(target);
            made_ = !unix_.empty() && !to.empty() &&
                    StartUnixProgram("/bin/ln -s \"" + to + "\" \"" + unix_ + "\"") &&
                    Eventually([&] { return FileExists(link); });
            return;
        }
        DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
        made_ = CreateSymbolicLinkA(link.c_str(), target.c_str(), flags) != FALSE;
        folder_ = folder;
    }
    ~Link() {
        if (!made_) {
            return;
        }
        if (!unix_.empty()) {
            StartUnixProgram("/bin/rm -f \"" + unix_ + "\"");
            Eventually([&] { return !FileExists(link_); });
        } else if (folder_) {
            RemoveDirectoryA(link_.c_str());
        } else {
            DeleteFileA(link_.c_str());
        }
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool made() const {
        return made_;
    }

  private:
    std::string link_;
    std::string unix_;
    bool made_ = false;
    bool folder_ = false;
};

} // namespace harness

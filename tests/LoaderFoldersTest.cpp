// The machine's part of every search, as a session started after the restart
// sees it: PATH is the machine's, then the logged-on user's own
// (HKCU\Environment), whose folders an administrator's logon searches too.
#include "checks/loader/SearchOrder.h"
#include "harness/Guards.h"
#include "harness/Harness.h"

#include <gtest/gtest.h>

namespace {

const char kMachineEnvironment[] =
    "System\\CurrentControlSet\\Control\\Session Manager\\Environment";

struct PathCase {
    const char* name;
    const char* machineAdds; // after the machine's own PATH; "" adds nothing
    const char* user;        // the user's PATH; nullptr: no such value
    DWORD userType;
    // The last folders of the search's PATH, in order; "{win}" is the
    // Windows folder.
    std::vector<std::string> last;
};

void PrintTo(const PathCase& row, std::ostream* out) {
    *out << row.name;
}

const PathCase kPathCases[] = {
    {"UsersFoldersComeAfterTheMachines",
     "C:\\pendreg-m1",
     "C:\\pendreg-u1;C:\\pendreg-u2",
     REG_SZ,
     {"C:\\pendreg-m1", "C:\\pendreg-u1", "C:\\pendreg-u2"}},
    {"UsersPathAlone", "", "C:\\pendreg-u1", REG_SZ, {"C:\\pendreg-u1"}},
    {"UsersPathExpanded", "", "%SystemRoot%\\pendreg-u3", REG_EXPAND_SZ, {"{win}\\pendreg-u3"}},
    {"UsersRelativeFoldersLeftOut",
     "C:\\pendreg-m1",
     "pendreg-rel;C:\\pendreg-u4\\",
     REG_SZ,
     {"C:\\pendreg-m1", "C:\\pendreg-u4"}},
    {"NoUsersPath", "C:\\pendreg-m1", nullptr, REG_SZ, {"C:\\pendreg-m1"}},
};

class LogonPath : public testing::TestWithParam<PathCase> {
  protected:
    harness::SavedValue machine_{kMachineEnvironment, "Path"};
    harness::SavedValue user_{HKEY_CURRENT_USER, "Environment", "Path"};
};

TEST_P(LogonPath, IsTheMachinesThenTheUsers) {
    const PathCase& row = GetParam();
    std::string machine = std::string(machine_.text()) + ";" + row.machineAdds;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueA(HKEY_LOCAL_MACHINE, kMachineEnvironment, "Path", REG_EXPAND_SZ,
                              machine.c_str(), static_cast<DWORD>(machine.size() + 1)));
    if (row.user != nullptr) {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueA(HKEY_CURRENT_USER, "Environment", "Path", row.userType, row.user,
                                  static_cast<DWORD>(strlen(row.user) + 1)));
    } else {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, "Environment", "Path");
    }

    std::vector<std::wstring> folders = ReadLoaderFolders().pathFolders;

    std::vector<std::string> got;
    for (size_t index = folders.size() > row.last.size() ? folders.size() - row.last.size() : 0;
         index < folders.size(); ++index) {
        got.push_back(harness::Lower(std::string(folders[index].begin(), folders[index].end())));
    }
    std::vector<std::string> wanted;
    for (const std::string& folder : row.last) {
        wanted.push_back(harness::Lower(
            harness::ReplaceAll(folder, "{win}", harness::FolderOf(harness::SystemDirectory()))));
    }
    EXPECT_EQ(wanted, got);
}

INSTANTIATE_TEST_SUITE_P(Checks, LogonPath, testing::ValuesIn(kPathCases),
                         [](const testing::TestParamInfo<PathCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

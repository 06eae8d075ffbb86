// The safety checks over the access lists that Windows 10/11 gives its own
// folders and keys (every row of the reviewers' list of defaults, with the
// verdict a security reviewer gives a component an elevated installer puts
// there), and over the layouts that only a standard user's whole logon, a
// staged new version or an OWNER RIGHTS entry decide. Wine keeps no access
// list on files, so the files' descriptors are served to the checks through
// their reader of descriptors; keys go through Wine's registry as set.
#include "checks/trust/Exposure.h"
#include "checks/trust/Placements.h"
#include "harness/Harness.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <map>

namespace {

// The TrustedInstaller service's SID, in the lists below as {TI}.
const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// A place and the list Windows gives it; {TI} stands for TrustedInstaller.
struct Place {
    const char* path;
    const char* list;
};

// The folders above the rows' components, as a default installation has
// them (the reviewers' list; C:\Windows and System32 carry the list of
// Program Files, and C:\Users and a profile's folders are as Windows makes
// them).
const Place kWindowsPlaces[] = {
    {"C:\\", "O:{TI}G:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
             "(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)"},
    {"C:\\Program Files",
     "O:{TI}G:{TI}D:PAI(A;;FA;;;{TI})(A;CIIO;GA;;;{TI})(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)"
     "(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)"
     "(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)"
     "(A;OICIIO;GXGR;;;S-1-15-2-2)"},
    {"C:\\Windows",
     "O:{TI}G:{TI}D:PAI(A;;FA;;;{TI})(A;CIIO;GA;;;{TI})(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)"
     "(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)"
     "(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)"
     "(A;OICIIO;GXGR;;;S-1-15-2-2)"},
    {"C:\\Windows\\System32",
     "O:{TI}G:{TI}D:PAI(A;;FA;;;{TI})(A;CIIO;GA;;;{TI})(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)"
     "(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)"
     "(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)"
     "(A;OICIIO;GXGR;;;S-1-15-2-2)"},
    {"C:\\Windows\\Temp", "O:SYG:SYD:P(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                          "(A;CI;0x100026;;;BU)"},
    {"C:\\ProgramData", "O:SYG:SYD:PAI(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                        "(A;OICI;0x1200a9;;;BU)(A;CI;DCLCRPCR;;;BU)"},
    {"C:\\Users", "O:SYG:SYD:PAI(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                  "(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;;0x1200a9;;;WD)(A;OICIIO;GXGR;;;WD)"},
    {"C:\\Users\\Public",
     "O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200af;;;IU)(A;OICIIO;0x1301ff;;;IU)"
     "(A;;0x1200af;;;SU)(A;OICIIO;0x1301ff;;;SU)(A;;0x1200af;;;S-1-5-3)"
     "(A;OICIIO;0x1301ff;;;S-1-5-3)"},
    {"C:\\Users\\alice", "O:S-1-5-21-1-2-3-1001G:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                         "(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"},
    {"C:\\Users\\alice\\AppData", "O:S-1-5-21-1-2-3-1001G:SYD:AI(A;OICIID;FA;;;SY)"
                                  "(A;OICIID;FA;;;BA)(A;OICIID;FA;;;S-1-5-21-1-2-3-1001)"},
    {"C:\\Users\\alice\\AppData\\Local", "O:S-1-5-21-1-2-3-1001G:SYD:AI(A;OICIID;FA;;;SY)"
                                         "(A;OICIID;FA;;;BA)(A;OICIID;FA;;;S-1-5-21-1-2-3-1001)"},
};

// What an elevated installer's new folder under Program Files inherits.
#define PROGRAM_FILES_VENDOR                                                                       \
    "O:BAG:SYD:AI(A;ID;FA;;;{TI})(A;CIIOID;GA;;;{TI})(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)"           \
    "(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)"                 \
    "(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;AC)(A;OICIIOID;GXGR;;;AC)(A;ID;0x1200a9;;;S-1-15-2-2)"   \
    "(A;OICIIOID;GXGR;;;S-1-15-2-2)"
#define SYSTEM_AND_ADMINISTRATORS "(A;;FA;;;SY)(A;;FA;;;BA)"

struct DefaultCase {
    const char* name;
    // The component: a file's path, or a key "HKLM\..." made with the list
    // of the first place.
    const char* component;
    Placement placement;
    // The places beyond kWindowsPlaces, the component's own among them when
    // it is there.
    std::vector<Place> places;
    bool ok;
    // For a failure, part of what it says.
    const char* says;
};

void PrintTo(const DefaultCase& row, std::ostream* out) {
    *out << row.name;
}

const DefaultCase kDefaultCases[] = {
    // The reviewers' list, row by row.
    {"FolderMadeUnderTheRoot",
     "C:\\Vendor\\component.dll",
     Placement::Runs,
     {{"C:\\Vendor", "O:BAG:SYD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                     "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)"}},
     false,
     "the folder C:\\Vendor of the component: Authenticated Users may add files to it"},
    {"FolderMadeUnderProgramFiles",
     "C:\\Program Files\\Vendor\\component.dll",
     Placement::Runs,
     {{"C:\\Program Files\\Vendor", PROGRAM_FILES_VENDOR}},
     true,
     ""},
    {"ComponentUnderProgramFiles",
     "C:\\Program Files\\Vendor\\component.dll",
     Placement::Runs,
     {{"C:\\Program Files\\Vendor", PROGRAM_FILES_VENDOR},
      {"C:\\Program Files\\Vendor\\component.dll",
       "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;AC)"
       "(A;ID;0x1200a9;;;S-1-15-2-2)"}},
     true,
     ""},
    {"SystemFileOwnedByTrustedInstaller",
     "C:\\Windows\\System32\\system.dll",
     Placement::Runs,
     {{"C:\\Windows\\System32\\system.dll",
       "O:{TI}G:{TI}D:PAI(A;;FA;;;{TI})(A;;0x1200a9;;;BA)(A;;0x1200a9;;;SY)(A;;0x1200a9;;;BU)"
       "(A;;0x1200a9;;;AC)(A;;0x1200a9;;;S-1-15-2-2)"}},
     true,
     ""},
    {"NewVersionStagedInWindowsTemp",
     "C:\\Windows\\Temp\\staged.tmp",
     Placement::Staged,
     {{"C:\\Windows\\Temp\\staged.tmp", "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"}},
     true,
     ""},
    {"NewFolderOfItsOwnInWindowsTemp",
     "C:\\Windows\\Temp\\pendreg-0a1b2c3d\\pendreg.exe",
     Placement::Runs,
     {{"C:\\Windows\\Temp\\pendreg-0a1b2c3d",
       "O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"}},
     true,
     ""},
    {"FolderMadeUnderProgramData",
     "C:\\ProgramData\\Vendor\\component.dll",
     Placement::Runs,
     {{"C:\\ProgramData\\Vendor", "O:BAG:SYD:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)"
                                  "(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"
                                  "(A;CIID;DCLCRPCR;;;BU)"}},
     false,
     "the folder C:\\ProgramData\\Vendor of the component: Users may add files to it"},
    {"PublicFolder",
     "C:\\Users\\Public\\component.dll",
     Placement::Runs,
     {},
     false,
     "the folder C:\\Users\\Public of the component: INTERACTIVE may add files to it"},
    {"UsersOwnTemp",
     "C:\\Users\\alice\\AppData\\Local\\Temp\\component.dll",
     Placement::Runs,
     {{"C:\\Users\\alice\\AppData\\Local\\Temp",
       "O:S-1-5-21-1-2-3-1001G:SYD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"
       "(A;OICIID;FA;;;S-1-5-21-1-2-3-1001)"}},
     false,
     "the folder C:\\Users\\alice\\AppData\\Local\\Temp of the component: S-1-5-21-1-2-3-1001 "
     "owns it and may add files to it"},
    {"KeyMadeByAnElevatedInstaller",
     "HKLM\\Software\\pendreg acl test",
     Placement::Runs,
     {{"", "O:BAG:SYD:AI(A;ID;KA;;;BA)(A;CIIOID;GA;;;CO)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)"
           "(A;CIIOID;GA;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;AC)(A;CIIOID;GR;;;AC)"}},
     true,
     ""},

    // Nothing lies above a share's root to swap it in, written with the
    // prefix or without.
    {"FolderUnderAShareWrittenWithItsPrefix",
     "\\\\?\\UNC\\server\\share\\Vendor\\component.dll",
     Placement::Runs,
     {{"\\\\?\\UNC\\server\\share",
       "O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"},
      {"\\\\?\\UNC\\server\\share\\Vendor", PROGRAM_FILES_VENDOR}},
     true,
     ""},

    // A standard user holds Everyone, Users, Authenticated Users and
    // INTERACTIVE at once: Users rename C:\Swap away, Authenticated Users
    // make a new one in C:\.
    {"SwapThatNeedsTwoGroups",
     "C:\\Swap\\bin\\component.dll",
     Placement::Runs,
     {{"C:\\Swap", "O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                   "(A;;SD;;;BU)"},
      {"C:\\Swap\\bin", "O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"}},
     false,
     "the folder C:\\Swap above the component: Users and Authenticated Users together may move "
     "it away and make a folder of its name in C:\\"},
    // And a denial to one of those groups binds the others.
    {"FolderDeniedToAuthenticatedUsersWhatUsersAreAllowed",
     "C:\\Program Files\\Denied\\component.dll",
     Placement::Runs,
     {{"C:\\Program Files\\Denied",
       "O:BAG:SYD:P(D;;0x10156;;;AU)(A;;0x1301bf;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}},
     true,
     ""},
    {"KeyDeniedToUsersWhatAuthenticatedUsersAreAllowed",
     "HKLM\\Software\\pendreg acl test",
     Placement::Runs,
     {{"", "O:BAG:SYD:P(D;;0xd0006;;;BU)(A;;KA;;;AU)(A;;KA;;;SY)(A;;KA;;;BA)"}},
     true,
     ""},
    // Anonymous holds none of Everyone's entries, denying or allowing.
    {"AnonymousAllowedWhatEveryoneIsDenied",
     "C:\\Program Files\\Vendor\\component.dll",
     Placement::Runs,
     {{"C:\\Program Files\\Vendor", PROGRAM_FILES_VENDOR},
      {"C:\\Program Files\\Vendor\\component.dll",
       "O:BAG:SYD:P(D;;FA;;;WD)(A;;FA;;;AN)" SYSTEM_AND_ADMINISTRATORS}},
     false,
     "the component: ANONYMOUS LOGON may write to it"},

    // A new version is judged by who may change, replace or remove it, not
    // by who may add files beside it.
    {"NewVersionStagedWhereUsersMayDeleteIt",
     "C:\\Windows\\Temp\\staged.tmp",
     Placement::Staged,
     {{"C:\\Windows\\Temp\\staged.tmp", "O:BAG:SYD:AI(A;;SD;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)"}},
     false,
     "the component: Users may delete it"},
    {"NewVersionStagedInAFolderWhereUsersMayDeleteFiles",
     "C:\\Stage\\staged.tmp",
     Placement::Staged,
     {{"C:\\Stage", "O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x100040;;;BU)"},
      {"C:\\Stage\\staged.tmp", "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"}},
     false,
     "the folder C:\\Stage of the component: Users may delete files in it"},
    // Where it runs, the same folder is judged by who may add files to it.
    {"ComponentRunningInWindowsTemp",
     "C:\\Windows\\Temp\\component.dll",
     Placement::Runs,
     {{"C:\\Windows\\Temp\\component.dll", "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"}},
     false,
     "the folder C:\\Windows\\Temp of the component: Users may add files to it"},

    // OWNER RIGHTS says what the owner may do instead of its implicit right
    // to change the permissions.
    {"FileOwnedByAUserWhomOwnerRightsLetOnlyRead",
     "C:\\Program Files\\Vendor\\owned.dll",
     Placement::Runs,
     {{"C:\\Program Files\\Vendor", PROGRAM_FILES_VENDOR},
      {"C:\\Program Files\\Vendor\\owned.dll",
       "O:S-1-5-21-1-2-3-1001G:SYD:P(A;;0x1200a9;;;OW)" SYSTEM_AND_ADMINISTRATORS
       "(A;;0x1200a9;;;BU)"}},
     true,
     ""},
    {"FileOwnedByAUser",
     "C:\\Program Files\\Vendor\\owned.dll",
     Placement::Runs,
     {{"C:\\Program Files\\Vendor", PROGRAM_FILES_VENDOR},
      {"C:\\Program Files\\Vendor\\owned.dll",
       "O:S-1-5-21-1-2-3-1001G:SYD:P" SYSTEM_AND_ADMINISTRATORS "(A;;0x1200a9;;;BU)"}},
     false,
     "the component: S-1-5-21-1-2-3-1001 owns it and may change its permissions"},
    {"KeyOwnedByAUserWhomOwnerRightsLetOnlyRead",
     "HKLM\\Software\\pendreg acl test",
     Placement::Runs,
     {{"", "O:S-1-5-21-1-2-3-1001G:SYD:P(A;;KR;;;OW)(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)"}},
     true,
     ""},
};

#undef PROGRAM_FILES_VENDOR
#undef SYSTEM_AND_ADMINISTRATORS

// The descriptors the checks read for files, by path in lower case.
std::map<std::wstring, std::vector<BYTE>>& Served() {
    static std::map<std::wstring, std::vector<BYTE>> served;
    return served;
}

std::wstring LowerWide(std::wstring text) {
    CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

DWORD ServeDescriptor(const std::wstring& path, std::vector<BYTE>* descriptor) {
    auto found = Served().find(LowerWide(path));
    if (found == Served().end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    *descriptor = found->second;
    return ERROR_SUCCESS;
}

// The list in self-relative form; empty, with a failure, when it is not SDDL.
std::vector<BYTE> DescriptorOf(const char* list) {
    std::string text = harness::ReplaceAll(list, "{TI}", kTrustedInstaller);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, &size)) {
        ADD_FAILURE() << "not a list: " << text << " (error " << GetLastError() << ")";
        return {};
    }
    const BYTE* bytes = static_cast<const BYTE*>(descriptor);
    std::vector<BYTE> copy(bytes, bytes + size);
    LocalFree(descriptor);
    return copy;
}

class WindowsAccessLists : public testing::TestWithParam<DefaultCase> {
  protected:
    void SetUp() override {
        for (const Place& place : kWindowsPlaces) {
            Served()[LowerWide(harness::Widen(place.path))] = DescriptorOf(place.list);
        }
        SetFileSecurityReader(ServeDescriptor);
    }
    void TearDown() override {
        SetFileSecurityReader(nullptr);
        Served().clear();
        if (key_ != nullptr) {
            RegCloseKey(key_);
            harness::DeleteTree(HKEY_LOCAL_MACHINE, kKeyPath);
        }
    }

    // The key made with the list, open to read its descriptor.
    Exposure KeyExposure(const char* list) {
        harness::DeleteTree(HKEY_LOCAL_MACHINE, kKeyPath);
        std::vector<BYTE> descriptor = DescriptorOf(list);
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key_, nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "could not make the key";
            key_ = nullptr;
            return Exposure();
        }
        LONG set = RegSetKeySecurity(key_,
                                     OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                         DACL_SECURITY_INFORMATION,
                                     descriptor.data());
        EXPECT_EQ(ERROR_SUCCESS, set) << "the key's list could not be set";
        return ExposureOfKey(key_);
    }

    static constexpr const char* kKeyPath = "Software\\pendreg acl test";
    HKEY key_ = nullptr;
};

// The verdict of the checks is the reviewer's, and a failure says why.
TEST_P(WindowsAccessLists, JudgeAsAReviewerDoes) {
    const DefaultCase& row = GetParam();
    Findings findings;
    bool ok = false;
    if (std::string(row.component).rfind("HKLM\\", 0) == 0) {
        ok = AddExposureFinding(findings, "the component", row.component, Securable::Key,
                                KeyExposure(row.places[0].list));
    } else {
        for (const Place& place : row.places) {
            Served()[LowerWide(harness::Widen(place.path))] = DescriptorOf(place.list);
        }
        ok = AddPlacementFindings(findings, "the component", harness::Widen(row.component),
                                  row.placement);
    }

    std::string said;
    for (const Finding& finding : findings) {
        said += FindingText(finding) + "\n";
    }
    EXPECT_EQ(row.ok, ok) << said;
    EXPECT_NE(std::string::npos, said.find(row.says)) << row.says << "\nnot in:\n" << said;
}

INSTANTIATE_TEST_SUITE_P(Checks, WindowsAccessLists, testing::ValuesIn(kDefaultCases),
                         [](const testing::TestParamInfo<DefaultCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

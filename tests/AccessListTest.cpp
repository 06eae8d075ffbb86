// The evaluation of access lists that the safety checks fall back on, against
// the platform's own access check, for the principals that the platform
// answers for everywhere: the SIDs of this program's own token.
#include "checks/trust/AccessList.h"
#include "harness/Harness.h"
#include "harness/Placement.h"

#include <gtest/gtest.h>

#include <sddl.h>

namespace {

struct AccessListCase {
    const char* name;
    // The descriptor in SDDL; "{me}" is this program's account.
    const char* descriptor;
    bool key; // weighed with the rights of a key, else of a file
    // Wine's access check gives an owner every standard right, not
    // READ_CONTROL and WRITE_DAC alone, and does not know OWNER RIGHTS: such
    // a row says what Windows grants, and under Wine is compared with that.
    ACCESS_MASK owners = 0;
};

void PrintTo(const AccessListCase& row, std::ostream* out) {
    *out << row.name;
}

// This program's token as AccessCheck takes it, without privileges, which
// grant rights of their own (taking ownership, restoring), and the SIDs it
// holds.
class OwnToken {
  public:
    OwnToken() {
        HANDLE own = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own);
        HANDLE restricted = nullptr;
        CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0, nullptr,
                              &restricted);
        DuplicateToken(restricted, SecurityIdentification, &token_);
        CloseHandle(restricted);
        DWORD size = 0;
        GetTokenInformation(own, TokenGroups, nullptr, 0, &size);
        groups_.resize(size);
        GetTokenInformation(own, TokenGroups, groups_.data(), size, &size);
        size = 0;
        GetTokenInformation(own, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        GetTokenInformation(own, TokenUser, user_.data(), size, &size);
        CloseHandle(own);
    }
    ~OwnToken() {
        CloseHandle(token_);
    }
    OwnToken(const OwnToken&) = delete;
    OwnToken& operator=(const OwnToken&) = delete;

    HANDLE token() const {
        return token_;
    }
    // The account and every enabled group.
    std::vector<PSID> Held() const {
        std::vector<PSID> held = {reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid};
        const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(groups_.data());
        for (DWORD index = 0; index < groups->GroupCount; ++index) {
            DWORD attributes = groups->Groups[index].Attributes;
            if ((attributes & SE_GROUP_ENABLED) != 0 &&
                (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0) {
                held.push_back(groups->Groups[index].Sid);
            }
        }
        return held;
    }

  private:
    HANDLE token_ = nullptr;
    std::vector<BYTE> groups_;
    std::vector<BYTE> user_;
};

// What the platform's access check grants, asked one right at a time: the
// rights that MAXIMUM_ALLOWED would grant on Windows, which Wine's answer to
// MAXIMUM_ALLOWED is not (a denial of one right there takes all of them).
ACCESS_MASK PlatformGrants(PSECURITY_DESCRIPTOR descriptor, HANDLE token, GENERIC_MAPPING mapping) {
    ACCESS_MASK every = mapping.GenericAll;
    ACCESS_MASK granted = 0;
    for (ACCESS_MASK right = 1; right != 0; right <<= 1) {
        BYTE privileges[256];
        DWORD length = sizeof(privileges);
        DWORD mask = 0;
        BOOL allowed = FALSE;
        if ((every & right) != 0 &&
            AccessCheck(descriptor, token, right, &mapping,
                        reinterpret_cast<PRIVILEGE_SET*>(privileges), &length, &mask, &allowed) &&
            allowed) {
            granted |= right;
        }
    }
    return granted;
}

class AccessListEvaluation : public testing::TestWithParam<AccessListCase> {};

TEST_P(AccessListEvaluation, GrantsWhatThePlatformsAccessCheckGrants) {
    const AccessListCase& row = GetParam();
    std::string text = row.descriptor;
    size_t me = text.find("{me}");
    if (me != std::string::npos) {
        text.replace(me, 4, harness::RunningAccount());
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << text;
    GENERIC_MAPPING mapping =
        row.key ? GENERIC_MAPPING{KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS}
                : GENERIC_MAPPING{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
    OwnToken own;
    ACCESS_MASK platform = row.owners != 0 && harness::RunningUnderWine()
                               ? row.owners
                               : PlatformGrants(descriptor, own.token(), mapping);
    ACCESS_MASK evaluated = RightsByAccessList(descriptor, own.Held(), mapping);
    LocalFree(descriptor);

    EXPECT_EQ(platform, evaluated)
        << std::hex << "expected 0x" << platform << ", evaluated 0x" << evaluated;
}

// This program's token holds Everyone (WD), Users (BU), INTERACTIVE (IU) and
// Administrators; not Anonymous (AN).
const AccessListCase kAccessListCases[] = {
    {"DenyBeforeAllow", "O:SYG:SYD:(D;;FW;;;WD)(A;;FA;;;BU)", false},
    {"AllowBeforeDeny", "O:SYG:SYD:(A;;FR;;;BU)(D;;FA;;;WD)(A;;FA;;;IU)", false},
    {"GenericRights", "O:SYG:SYD:(D;;GW;;;IU)(A;;GA;;;WD)", false},
    {"DenyForAGroupNotHeld", "O:SYG:SYD:(D;;FA;;;AN)(A;;FA;;;WD)", false},
    {"InheritOnlyEntriesDoNotApply", "O:SYG:SYD:(A;OICIIO;FA;;;WD)(A;;FR;;;WD)", false},
    {"OwnerChangesPermissionsWhateverIsDenied", "O:{me}G:SYD:(D;;WDRC;;;WD)(A;;FR;;;WD)", false,
     FILE_GENERIC_READ | WRITE_DAC},
    {"OwnerRightsReplaceTheOwnersOwn", "O:{me}G:SYD:(A;;FR;;;OW)", false, FILE_GENERIC_READ},
    {"OwnerRightsDenyTheOwnerWhatTheyName", "O:{me}G:SYD:(D;;WD;;;OW)(A;;FA;;;BU)", false,
     FILE_ALL_ACCESS & ~WRITE_DAC},
    {"NoAccessListGrantsEverything", "O:SYG:SY", false},
    {"EmptyAccessListGrantsNothing", "O:SYG:SYD:", false},
    {"KeyRights", "O:SYG:SYD:(A;;KW;;;WD)(D;;KA;;;BU)(A;;KA;;;BU)", true},
};

INSTANTIATE_TEST_SUITE_P(Checks, AccessListEvaluation, testing::ValuesIn(kAccessListCases),
                         [](const testing::TestParamInfo<AccessListCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

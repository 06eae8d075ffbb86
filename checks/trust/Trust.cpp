#include "checks/trust/Trust.h"

#include "checks/text/Findings.h"

#include <lm.h>
#include <sddl.h>

namespace {

const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    Sid sid(size);
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
        sid.clear();
    }
    return sid;
}

// The direct members of the local Administrators group, asked by the group's
// name in the system's language. Level 3 (names) is the level every version
// answers, Wine included.
void AddMembersOfAdministrators(std::vector<Sid>& trusted) {
    Sid administrators = WellKnown(WinBuiltinAdministratorsSid);
    wchar_t name[UNLEN + 1];
    wchar_t domain[DNLEN + 1];
    DWORD nameSize = UNLEN + 1;
    DWORD domainSize = DNLEN + 1;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, administrators.data(), name, &nameSize, domain, &domainSize,
                           &use)) {
        return;
    }
    LOCALGROUP_MEMBERS_INFO_3* members = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    if (NetLocalGroupGetMembers(nullptr, name, 3, reinterpret_cast<BYTE**>(&members),
                                MAX_PREFERRED_LENGTH, &read, &total, nullptr) != NERR_Success) {
        return;
    }
    for (DWORD index = 0; index < read; ++index) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof(sid);
        domainSize = DNLEN + 1;
        if (LookupAccountNameW(nullptr, members[index].lgrmi3_domainandname, sid, &sidSize, domain,
                               &domainSize, &use)) {
            trusted.push_back(CopyOfSid(sid));
        }
    }
    NetApiBufferFree(members);
}

// The account that runs this check, when its token holds Administrators: it
// may be a member through a domain group, which the list above names only as
// the group. And the token's default owner, which owns what an administrator
// makes (Administrators on Windows; Wine gives the account's primary group).
void AddRunningAdministrator(std::vector<Sid>& trusted) {
    Sid administrators = WellKnown(WinBuiltinAdministratorsSid);
    BOOL member = FALSE;
    HANDLE token = nullptr;
    if (!CheckTokenMembership(nullptr, administrators.data(), &member) || !member ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return;
    }
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(user);
    if (GetTokenInformation(token, TokenUser, user, size, &size)) {
        trusted.push_back(CopyOfSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
    }
    BYTE owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    size = sizeof(owner);
    if (GetTokenInformation(token, TokenOwner, owner, size, &size)) {
        trusted.push_back(CopyOfSid(reinterpret_cast<TOKEN_OWNER*>(owner)->Owner));
    }
    CloseHandle(token);
}

std::vector<Sid> FindTrusted() {
    std::vector<Sid> trusted = {WellKnown(WinLocalSystemSid),
                                WellKnown(WinBuiltinAdministratorsSid),
                                SidFromText(kTrustedInstaller)};
    AddMembersOfAdministrators(trusted);
    AddRunningAdministrator(trusted);
    return trusted;
}

} // namespace

Sid CopyOfSid(PSID sid) {
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return Sid(bytes, bytes + GetLengthSid(sid));
}

Sid SidFromText(const char* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(text, &sid)) {
        return Sid();
    }
    Sid copy = CopyOfSid(sid);
    LocalFree(sid);
    return copy;
}

bool ContainsSid(const std::vector<Sid>& sids, PSID sid) {
    for (const Sid& held : sids) {
        if (!held.empty() && EqualSid(const_cast<BYTE*>(held.data()), sid)) {
            return true;
        }
    }
    return false;
}

bool IsTrusted(PSID sid) {
    // Asked once a run: membership does not change while the report is made.
    static const std::vector<Sid> trusted = FindTrusted();
    return ContainsSid(trusted, sid);
}

bool IsPlaceholder(PSID sid) {
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    return memcmp(GetSidIdentifierAuthority(sid), &creator, sizeof(creator)) == 0;
}

std::string NameOfPrincipal(PSID sid) {
    LPSTR text = nullptr;
    std::string shown = ConvertSidToStringSidA(sid, &text) ? text : "an unreadable SID";
    LocalFree(text);
    wchar_t name[UNLEN + 1];
    wchar_t domain[DNLEN + 1];
    DWORD nameSize = UNLEN + 1;
    DWORD domainSize = DNLEN + 1;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        return shown;
    }
    // Groups are known by their names; two accounts may share a name.
    if (use == SidTypeWellKnownGroup || use == SidTypeAlias) {
        return ReportText(name);
    }
    std::wstring account = domainSize > 0 ? std::wstring(domain) + L"\\" + name : name;
    return ReportText(account) + " (" + shown + ")";
}

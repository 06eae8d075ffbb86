#include "checks/Safety.h"

#include "checks/EntryFile.h"
#include "checks/Redirection.h"
#include "pending/Launcher.h"

#include <aclapi.h>
#include <authz.h>

namespace {

struct Group {
    WELL_KNOWN_SID_TYPE type;
    const char* name;
};

const Group kOrdinaryUsers[] = {
    {WinWorldSid, "Everyone"},
    {WinBuiltinUsersSid, "Users"},
    {WinAuthenticatedUserSid, "Authenticated Users"},
    {WinInteractiveSid, "INTERACTIVE"},
    {WinBuiltinGuestsSid, "Guests"},
    {WinAnonymousSid, "Anonymous"},
};
const size_t kGroupCount = sizeof(kOrdinaryUsers) / sizeof(kOrdinaryUsers[0]);

// A right that lets a group change an object, as the report says it.
struct Right {
    ACCESS_MASK mask;
    const char* said;
};

struct Rights {
    std::vector<Right> changing;
    GENERIC_MAPPING mapping;
};

const Rights& RightsOf(Securable kind) {
    static const Rights kFile = {
        {{FILE_WRITE_DATA, "write to it"},
         {FILE_APPEND_DATA, "append to it"},
         {DELETE, "delete it"},
         {WRITE_DAC, "change its permissions"},
         {WRITE_OWNER, "take it over"}},
        {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}};
    static const Rights kFolder = {{{FILE_ADD_FILE, "add files to it"},
                                    {FILE_DELETE_CHILD, "delete files in it"},
                                    {WRITE_DAC, "change its permissions"},
                                    {WRITE_OWNER, "take it over"}},
                                   kFile.mapping};
    static const Rights kKey = {{{KEY_SET_VALUE, "set values in it"},
                                 {KEY_CREATE_SUB_KEY, "create subkeys in it"},
                                 {WRITE_DAC, "change its permissions"},
                                 {WRITE_OWNER, "take it over"}},
                                {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS}};
    return kind == Securable::Key ? kKey : kind == Securable::Folder ? kFolder : kFile;
}

using Sid = std::vector<BYTE>;

Sid WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    Sid sid(size);
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
        sid.clear();
    }
    return sid;
}

std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> information(size);
    if (size == 0 || !GetTokenInformation(token, kind, information.data(), size, &size)) {
        information.clear();
    }
    return information;
}

// The descriptor with the caller's own account taken out of the question: no
// longer its owner, and without the entries that name it. Wine keeps the
// caller's account in every token made from the caller's, whatever the
// restriction asks, and an installer's account has full control of what it
// made; so the account is taken out of the descriptor instead. Entries are
// only left out by whom they name: the access check still weighs the rest.
class WithoutCaller {
  public:
    WithoutCaller(PSECURITY_DESCRIPTOR descriptor, PSID caller, PSID nobody) {
        InitializeSecurityDescriptor(&absolute_, SECURITY_DESCRIPTOR_REVISION);
        PSID owner = nullptr;
        PSID group = nullptr;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        GetSecurityDescriptorGroup(descriptor, &group, &defaulted);
        owner = owner == nullptr || EqualSid(owner, caller) ? nobody : owner;
        // The access check wants a primary group too.
        SetSecurityDescriptorOwner(&absolute_, owner, FALSE);
        SetSecurityDescriptorGroup(&absolute_, group == nullptr ? owner : group, FALSE);
        BOOL present = FALSE;
        PACL acl = nullptr;
        GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
        if (present && acl != nullptr) {
            const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
            acl_.assign(bytes, bytes + acl->AclSize);
            acl = reinterpret_cast<PACL>(acl_.data());
            LeaveOut(acl, caller);
        }
        SetSecurityDescriptorDacl(&absolute_, present, acl, FALSE);
    }
    PSECURITY_DESCRIPTOR get() {
        return &absolute_;
    }

  private:
    static void LeaveOut(PACL acl, PSID caller) {
        for (DWORD index = acl->AceCount; index-- > 0;) {
            ACCESS_ALLOWED_ACE* entry = nullptr;
            if (!GetAce(acl, index, reinterpret_cast<void**>(&entry))) {
                continue;
            }
            // Allowing and denying entries share their layout.
            BYTE type = entry->Header.AceType;
            if ((type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE) &&
                EqualSid(&entry->SidStart, caller)) {
                DeleteAce(acl, index);
            }
        }
    }

    SECURITY_DESCRIPTOR absolute_;
    std::vector<BYTE> acl_;
};

// Asks the platform what one group alone may do under a descriptor. Where
// Authz is there (Windows), a client context made from the group's SID alone
// answers for any group. Wine has no Authz (its functions fail with
// ERROR_CALL_NOT_IMPLEMENTED) and no GetEffectiveRightsFromAcl (a stub that
// fails): there, AccessCheck answers with a token of the caller's own in
// which every SID but the group's counts only for denying, so only the
// caller's own groups can be asked about.
class AccessOracle {
  public:
    AccessOracle() {
        for (size_t index = 0; index < kGroupCount; ++index) {
            sids_[index] = WellKnownSid(kOrdinaryUsers[index].type);
        }
        nobody_ = WellKnownSid(WinNullSid);
        if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr,
                                            nullptr, &manager_)) {
            manager_ = nullptr;
        }
    }
    ~AccessOracle() {
        if (manager_ != nullptr) {
            AuthzFreeResourceManager(manager_);
        }
        for (HANDLE token : tokens_) {
            if (token != nullptr) {
                CloseHandle(token);
            }
        }
    }
    AccessOracle(const AccessOracle&) = delete;
    AccessOracle& operator=(const AccessOracle&) = delete;

    bool CanAsk(size_t group) {
        return !sids_[group].empty() && (manager_ != nullptr || TokenOf(group) != nullptr);
    }

    // False when the group cannot be asked about here.
    bool Ask(size_t group, PSECURITY_DESCRIPTOR descriptor, const GENERIC_MAPPING& mapping,
             ACCESS_MASK* granted) {
        if (sids_[group].empty()) {
            return false;
        }
        if (manager_ != nullptr && AskAuthz(group, descriptor, mapping, granted)) {
            return true;
        }
        return TokenOf(group) != nullptr && AskToken(group, descriptor, mapping, granted);
    }

  private:
    bool AskAuthz(size_t group, PSECURITY_DESCRIPTOR descriptor, const GENERIC_MAPPING& mapping,
                  ACCESS_MASK* granted) {
        AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
        LUID none = {0, 0};
        // Only the group's SID: no groups looked up for it.
        if (!AuthzInitializeContextFromSid(AUTHZ_SKIP_TOKEN_GROUPS, sids_[group].data(), manager_,
                                           nullptr, none, nullptr, &context)) {
            return false;
        }
        AUTHZ_ACCESS_REQUEST request = {};
        request.DesiredAccess = MAXIMUM_ALLOWED;
        ACCESS_MASK mask = 0;
        DWORD error = ERROR_SUCCESS;
        AUTHZ_ACCESS_REPLY reply = {};
        reply.ResultListLength = 1;
        reply.GrantedAccessMask = &mask;
        reply.Error = &error;
        bool asked = AuthzAccessCheck(0, context, &request, nullptr, descriptor, nullptr, 0, &reply,
                                      nullptr);
        AuthzFreeContext(context);
        // Authz takes no mapping: generic rights in an entry come back as
        // they stand.
        GENERIC_MAPPING map = mapping;
        MapGenericMask(&mask, &map);
        *granted = error == ERROR_SUCCESS ? mask : 0;
        return asked;
    }

    bool AskToken(size_t group, PSECURITY_DESCRIPTOR descriptor, const GENERIC_MAPPING& mapping,
                  ACCESS_MASK* granted) {
        WithoutCaller question(descriptor, caller_.data(), nobody_.data());
        BYTE privileges[256];
        DWORD length = sizeof(privileges);
        DWORD mask = 0;
        BOOL allowed = FALSE;
        GENERIC_MAPPING map = mapping;
        if (!AccessCheck(question.get(), tokens_[group], MAXIMUM_ALLOWED, &map,
                         reinterpret_cast<PRIVILEGE_SET*>(privileges), &length, &mask, &allowed)) {
            return false;
        }
        *granted = allowed ? mask : 0;
        return true;
    }

    HANDLE TokenOf(size_t group) {
        if (!tokensMade_) {
            tokensMade_ = true;
            MakeTokens();
        }
        return tokens_[group];
    }

    void MakeTokens() {
        HANDLE own = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
            return;
        }
        std::vector<BYTE> user = TokenInformation(own, TokenUser);
        std::vector<BYTE> groups = TokenInformation(own, TokenGroups);
        if (!user.empty() && !groups.empty()) {
            PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
            caller_.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
            for (size_t index = 0; index < kGroupCount; ++index) {
                tokens_[index] = TokenOfGroup(own, *reinterpret_cast<TOKEN_GROUPS*>(groups.data()),
                                              sids_[index]);
            }
        }
        CloseHandle(own);
    }

    // An impersonation token (what AccessCheck takes) made from the caller's
    // own, in which every SID but the group's counts only for denying. Null
    // when the caller does not belong to the group.
    HANDLE TokenOfGroup(HANDLE own, const TOKEN_GROUPS& groups, const Sid& group) {
        std::vector<SID_AND_ATTRIBUTES> others = {{caller_.data(), 0}};
        bool member = false;
        for (DWORD index = 0; index < groups.GroupCount; ++index) {
            const SID_AND_ATTRIBUTES& held = groups.Groups[index];
            if (!group.empty() && EqualSid(held.Sid, const_cast<BYTE*>(group.data()))) {
                member = (held.Attributes & SE_GROUP_ENABLED) != 0 &&
                         (held.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
            } else {
                others.push_back({held.Sid, 0});
            }
        }
        HANDLE restricted = nullptr;
        HANDLE token = nullptr;
        if (member &&
            CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, static_cast<DWORD>(others.size()),
                                  others.data(), 0, nullptr, 0, nullptr, &restricted)) {
            if (!DuplicateToken(restricted, SecurityIdentification, &token)) {
                token = nullptr;
            }
            CloseHandle(restricted);
        }
        return token;
    }

    Sid sids_[kGroupCount];
    Sid nobody_;
    Sid caller_;
    AUTHZ_RESOURCE_MANAGER_HANDLE manager_ = nullptr;
    bool tokensMade_ = false;
    HANDLE tokens_[kGroupCount] = {};
};

AccessOracle& Oracle() {
    static AccessOracle oracle;
    return oracle;
}

Exposure ExposureOf(PSECURITY_DESCRIPTOR descriptor, Securable kind) {
    const Rights& rights = RightsOf(kind);
    Exposure exposure;
    for (size_t group = 0; group < kGroupCount; ++group) {
        ACCESS_MASK granted = 0;
        if (!Oracle().Ask(group, descriptor, rights.mapping, &granted)) {
            continue;
        }
        std::string said;
        for (const Right& right : rights.changing) {
            if ((granted & right.mask) != 0) {
                said += (said.empty() ? "" : ", ") + std::string(right.said);
            }
        }
        if (!said.empty()) {
            exposure.changers.push_back(std::string(kOrdinaryUsers[group].name) + " may " + said);
        }
    }
    return exposure;
}

const SECURITY_INFORMATION kAskedParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

Exposure ExposureOfPath(const std::wstring& path, Securable kind) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kAskedParts, nullptr, nullptr,
                                        nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        Exposure unread;
        unread.error = error;
        return unread;
    }
    Exposure exposure = ExposureOf(descriptor, kind);
    LocalFree(descriptor);
    return exposure;
}

Exposure ExposureOfKey(HKEY key) {
    DWORD size = 0;
    LONG status = RegGetKeySecurity(key, kAskedParts, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    if (status == ERROR_INSUFFICIENT_BUFFER) {
        status = RegGetKeySecurity(key, kAskedParts, descriptor.data(), &size);
    }
    if (status != ERROR_SUCCESS) {
        Exposure unread;
        unread.error = static_cast<DWORD>(status);
        return unread;
    }
    return ExposureOf(descriptor.data(), Securable::Key);
}

std::vector<std::string> GroupsNotAsked() {
    std::vector<std::string> names;
    for (size_t group = 0; group < kGroupCount; ++group) {
        if (!Oracle().CanAsk(group)) {
            names.push_back(kOrdinaryUsers[group].name);
        }
    }
    return names;
}

bool AddExposureFinding(Findings& findings, const std::string& what, const Exposure& exposure) {
    if (exposure.error != ERROR_SUCCESS) {
        AddFinding(findings, Outcome::Fail,
                   "cannot tell who may change %s: its permissions cannot be read (error %lu)",
                   what.c_str(), exposure.error);
        return false;
    }
    if (exposure.changers.empty()) {
        return true;
    }
    std::string who;
    for (const std::string& changer : exposure.changers) {
        who += (who.empty() ? "" : "; ") + changer;
    }
    AddFinding(findings, Outcome::Fail, "ordinary users may change %s: %s", what.c_str(),
               who.c_str());
    return false;
}

std::wstring FolderOfPath(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return std::wstring();
    }
    // The folder of C:\a.dll is C:\, not the drive's current folder C:.
    return path.substr(0, slash > 0 && path[slash - 1] == L':' ? slash + 1 : slash);
}

Findings CheckEntrySafety(char kind, bool is64Bit, const char* file,
                          const std::vector<PendingRename>& renames) {
    Findings findings;
    // The files as the entry's own program will find them.
    RedirectionOff view(RunsWithRedirectionOff(kind, is64Bit));
    std::wstring written;
    if (!WithoutPathPrefix(AnsiToWide(file), &written) || !IsFullPath(written)) {
        return findings;
    }
    std::wstring opened = FileThatRegisters(kind, is64Bit, written, renames);
    AfterRestart after = FindAfterRestart(renames, opened);
    if (!after.present) {
        return findings;
    }
    // The file present now runs if its replacement fails; the new version's
    // bytes keep their permissions when they are moved in.
    bool replaced = !SamePath(after.origin, opened);
    std::wstring folder = FolderOfPath(opened);
    std::wstring newFolder = FolderOfPath(after.origin);
    bool safe = true;
    if (after.presentNow) {
        safe &= AddExposureFinding(findings, "the file " + ReportText(opened),
                                   ExposureOfPath(opened, Securable::File));
    }
    if (Exists(folder)) {
        safe &= AddExposureFinding(findings, "the folder " + ReportText(folder) + " of the file",
                                   ExposureOfPath(folder, Securable::Folder));
    }
    if (replaced) {
        safe &= AddExposureFinding(findings,
                                   "the new version " + ReportText(after.origin) +
                                       ", which replaces the file at restart",
                                   ExposureOfPath(after.origin, Securable::File));
        if (!SamePath(newFolder, folder)) {
            safe &= AddExposureFinding(
                findings, "the folder " + ReportText(newFolder) + " of the new version",
                ExposureOfPath(newFolder, Securable::Folder));
        }
    }
    if (safe) {
        AddFinding(findings, Outcome::Ok, "no ordinary user may change %s",
                   replaced ? "the file, its new version or their folders"
                            : "the file or its folder");
    }
    return findings;
}

Findings CheckCopySafety(const std::wstring& copy) {
    Findings findings;
    std::wstring folder = FolderOfPath(copy);
    bool safe = AddExposureFinding(findings, "the tool's copy " + ReportText(copy),
                                   ExposureOfPath(copy, Securable::File));
    safe &= AddExposureFinding(findings, "the folder " + ReportText(folder) + " of the tool's copy",
                               ExposureOfPath(folder, Securable::Folder));
    if (safe) {
        AddFinding(findings, Outcome::Ok,
                   "no ordinary user may change the tool's copy or its folder");
    }
    return findings;
}

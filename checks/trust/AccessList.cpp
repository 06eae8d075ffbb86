#include "checks/trust/AccessList.h"

#include <authz.h>

#include <algorithm>

namespace {

bool Holds(const std::vector<PSID>& held, PSID sid) {
    for (PSID one : held) {
        if (EqualSid(one, sid)) {
            return true;
        }
    }
    return false;
}

// One entry of an access list as the evaluation needs it.
struct Entry {
    PSID sid = nullptr;
    ACCESS_MASK mask = 0;
    bool allows = false;
    bool inheritOnly = false;
};

// False for entries of kinds that neither allow nor deny a SID on the object
// itself (object entries, audit entries), and for conditional denials, which
// count as if their condition did not hold.
bool ReadEntry(PACL acl, DWORD index, Entry* entry) {
    void* raw = nullptr;
    if (!GetAce(acl, index, &raw)) {
        return false;
    }
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(raw);
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        entry->allows = true;
        break;
    case ACCESS_DENIED_ACE_TYPE:
        entry->allows = false;
        break;
    default:
        return false;
    }
    // These kinds share the layout of an allowing entry up to the SID.
    ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    entry->sid = &allowed->SidStart;
    entry->mask = allowed->Mask;
    entry->inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    return true;
}

PACL DaclOf(PSECURITY_DESCRIPTOR descriptor, bool* present) {
    BOOL there = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &there, &acl, &defaulted)) {
        there = FALSE;
    }
    *present = there && acl != nullptr;
    return *present ? acl : nullptr;
}

bool NamesOwnerRights(PACL acl, PSID ownerRights) {
    Entry entry;
    for (DWORD index = 0; index < acl->AceCount; ++index) {
        if (ReadEntry(acl, index, &entry) && !entry.inheritOnly &&
            EqualSid(entry.sid, ownerRights)) {
            return true;
        }
    }
    return false;
}

// A copy of the descriptor whose entries carry specific rights only: Authz
// takes no generic mapping.
class MappedDescriptor {
  public:
    MappedDescriptor(PSECURITY_DESCRIPTOR descriptor, const GENERIC_MAPPING& mapping) {
        InitializeSecurityDescriptor(&absolute_, SECURITY_DESCRIPTOR_REVISION);
        PSID owner = OwnerOf(descriptor);
        PSID group = nullptr;
        BOOL defaulted = FALSE;
        GetSecurityDescriptorGroup(descriptor, &group, &defaulted);
        SetSecurityDescriptorOwner(&absolute_, owner, FALSE);
        SetSecurityDescriptorGroup(&absolute_, group == nullptr ? owner : group, FALSE);
        bool present = false;
        PACL acl = DaclOf(descriptor, &present);
        if (present) {
            const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
            acl_.assign(bytes, bytes + acl->AclSize);
            acl = reinterpret_cast<PACL>(acl_.data());
            GENERIC_MAPPING map = mapping;
            Entry entry;
            for (DWORD index = 0; index < acl->AceCount; ++index) {
                void* raw = nullptr;
                if (ReadEntry(acl, index, &entry) && GetAce(acl, index, &raw)) {
                    MapGenericMask(&static_cast<ACCESS_ALLOWED_ACE*>(raw)->Mask, &map);
                }
            }
        }
        SetSecurityDescriptorDacl(&absolute_, TRUE, present ? acl : nullptr, FALSE);
    }
    PSECURITY_DESCRIPTOR get() {
        return &absolute_;
    }

  private:
    SECURITY_DESCRIPTOR absolute_;
    std::vector<BYTE> acl_;
};

// Authz's resource manager, made once; null where the platform has no Authz
// (Wine's functions fail with ERROR_CALL_NOT_IMPLEMENTED).
AUTHZ_RESOURCE_MANAGER_HANDLE Manager() {
    static AUTHZ_RESOURCE_MANAGER_HANDLE manager = [] {
        AUTHZ_RESOURCE_MANAGER_HANDLE made = nullptr;
        if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr,
                                            nullptr, &made)) {
            made = nullptr;
        }
        return made;
    }();
    return manager;
}

// A client context holding exactly these SIDs, the first as its user.
AUTHZ_CLIENT_CONTEXT_HANDLE ContextOf(const std::vector<PSID>& held) {
    AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
    LUID none = {0, 0};
    // No groups looked up for the SID: the context holds what it is given.
    if (!AuthzInitializeContextFromSid(AUTHZ_SKIP_TOKEN_GROUPS, held[0], Manager(), nullptr, none,
                                       nullptr, &context)) {
        return nullptr;
    }
    std::vector<SID_AND_ATTRIBUTES> groups;
    for (size_t index = 1; index < held.size(); ++index) {
        groups.push_back({held[index], SE_GROUP_ENABLED});
    }
    AUTHZ_CLIENT_CONTEXT_HANDLE withGroups = nullptr;
    if (!groups.empty() &&
        !AuthzAddSidsToContext(context, groups.data(), static_cast<DWORD>(groups.size()), nullptr,
                               0, &withGroups)) {
        withGroups = nullptr;
    }
    if (!groups.empty()) {
        AuthzFreeContext(context);
        context = withGroups;
    }
    return context;
}

// False when Authz cannot answer here.
bool AskAuthz(PSECURITY_DESCRIPTOR descriptor, const std::vector<PSID>& held,
              const GENERIC_MAPPING& mapping, ACCESS_MASK* granted) {
    if (Manager() == nullptr) {
        return false;
    }
    AUTHZ_CLIENT_CONTEXT_HANDLE context = ContextOf(held);
    if (context == nullptr) {
        return false;
    }
    MappedDescriptor mapped(descriptor, mapping);
    AUTHZ_ACCESS_REQUEST request = {};
    request.DesiredAccess = MAXIMUM_ALLOWED;
    ACCESS_MASK mask = 0;
    DWORD error = ERROR_SUCCESS;
    AUTHZ_ACCESS_REPLY reply = {};
    reply.ResultListLength = 1;
    reply.GrantedAccessMask = &mask;
    reply.Error = &error;
    bool asked =
        AuthzAccessCheck(0, context, &request, nullptr, mapped.get(), nullptr, 0, &reply, nullptr);
    AuthzFreeContext(context);
    *granted = error == ERROR_SUCCESS ? mask : 0;
    return asked;
}

} // namespace

PSID OwnerOf(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
        owner = nullptr;
    }
    return owner;
}

std::vector<Grant> GrantsByAccessList(PSECURITY_DESCRIPTOR descriptor,
                                      const std::vector<PSID>& held,
                                      const GENERIC_MAPPING& mapping) {
    GENERIC_MAPPING map = mapping;
    bool present = false;
    PACL acl = DaclOf(descriptor, &present);
    if (!present) {
        ACCESS_MASK all = GENERIC_ALL;
        MapGenericMask(&all, &map);
        return {{CopyOfSid(Everyone()), all, false}};
    }
    Sid ownerRights = SidFromText("S-1-3-4");
    PSID owner = OwnerOf(descriptor);
    bool isOwner = owner != nullptr && Holds(held, owner);
    std::vector<Grant> grants;
    // Rights already granted or denied: the first entry that names a right
    // decides it.
    ACCESS_MASK decided = 0;
    if (isOwner && !NamesOwnerRights(acl, ownerRights.data())) {
        decided = READ_CONTROL | WRITE_DAC;
        grants.push_back({CopyOfSid(owner), decided, true});
    }
    Entry entry;
    for (DWORD index = 0; index < acl->AceCount; ++index) {
        if (!ReadEntry(acl, index, &entry) || entry.inheritOnly) {
            continue;
        }
        bool forOwner = isOwner && EqualSid(entry.sid, ownerRights.data());
        if (!forOwner && !Holds(held, entry.sid)) {
            continue;
        }
        ACCESS_MASK mask = entry.mask;
        MapGenericMask(&mask, &map);
        mask &= ~decided;
        decided |= mask;
        if (entry.allows && mask != 0) {
            grants.push_back({CopyOfSid(forOwner ? owner : entry.sid), mask, false});
        }
    }
    return grants;
}

ACCESS_MASK RightsByAccessList(PSECURITY_DESCRIPTOR descriptor, const std::vector<PSID>& held,
                               const GENERIC_MAPPING& mapping) {
    ACCESS_MASK granted = 0;
    for (const Grant& grant : GrantsByAccessList(descriptor, held, mapping)) {
        granted |= grant.mask;
    }
    return granted;
}

std::vector<Sid> StandardUserHolds(PSID principal) {
    static const Sid anonymous = SidFromText("S-1-5-7");
    if (principal != nullptr && EqualSid(principal, const_cast<BYTE*>(anonymous.data()))) {
        return {CopyOfSid(principal)};
    }
    std::vector<Sid> held = {CopyOfSid(Everyone()), SidFromText("S-1-5-32-545"),
                             SidFromText("S-1-5-11"), SidFromText("S-1-5-4")};
    if (principal != nullptr && !ContainsSid(held, principal)) {
        held.push_back(CopyOfSid(principal));
    }
    return held;
}

namespace {

std::vector<PSID> Pointers(std::vector<Sid>& sids) {
    std::vector<PSID> pointers;
    for (Sid& sid : sids) {
        pointers.push_back(sid.data());
    }
    return pointers;
}

} // namespace

ACCESS_MASK RightsOfStandardUser(PSECURITY_DESCRIPTOR descriptor, PSID principal,
                                 const GENERIC_MAPPING& mapping) {
    std::vector<Sid> sids = StandardUserHolds(principal);
    std::vector<PSID> held = Pointers(sids);
    // The principal first: Authz takes the first as the account.
    std::rotate(held.begin(), held.end() - 1, held.end());
    ACCESS_MASK granted = 0;
    if (AskAuthz(descriptor, held, mapping, &granted)) {
        return granted;
    }
    return RightsByAccessList(descriptor, held, mapping);
}

std::vector<Grant> GrantsToStandardUser(PSECURITY_DESCRIPTOR descriptor, PSID principal,
                                        const GENERIC_MAPPING& mapping) {
    std::vector<Sid> sids = StandardUserHolds(principal);
    std::vector<Grant> grants = GrantsByAccessList(descriptor, Pointers(sids), mapping);
    ACCESS_MASK granted = RightsOfStandardUser(descriptor, principal, mapping);
    ACCESS_MASK said = 0;
    for (Grant& grant : grants) {
        grant.mask &= granted;
        said |= grant.mask;
    }
    if ((granted & ~said) != 0) {
        grants.push_back(
            {CopyOfSid(principal != nullptr ? principal : Everyone()), granted & ~said, false});
    }
    return grants;
}

PSID Everyone() {
    static Sid everyone = SidFromText("S-1-1-0");
    return everyone.data();
}

bool EveryStandardUserHolds(PSID sid) {
    static const std::vector<Sid> every = StandardUserHolds(nullptr);
    return ContainsSid(every, sid);
}

bool PlatformAnswersForAnyPrincipal() {
    return Manager() != nullptr;
}

std::vector<Sid> PrincipalsNamed(PSECURITY_DESCRIPTOR descriptor) {
    std::vector<Sid> named;
    auto add = [&named](PSID sid) {
        if (!ContainsSid(named, sid)) {
            named.push_back(CopyOfSid(sid));
        }
    };
    if (PSID owner = OwnerOf(descriptor)) {
        add(owner);
    }
    bool present = false;
    PACL acl = DaclOf(descriptor, &present);
    if (!present) {
        // No access list: everyone may do anything.
        add(Everyone());
    }
    Entry entry;
    for (DWORD index = 0; present && index < acl->AceCount; ++index) {
        if (ReadEntry(acl, index, &entry) && entry.allows && !entry.inheritOnly) {
            add(entry.sid);
        }
    }
    return named;
}

#pragma once
// What one principal may do to an object, from the object's security
// descriptor. The platform answers where it can (Authz, on Windows); where it
// cannot answer for a principal other than the caller (Wine has no Authz, and
// a token made from the caller's holds only the caller's own groups), the
// access list is evaluated here by the platform's documented rules.
#include "checks/trust/Trust.h"

#include <windows.h>

#include <vector>

// What one entry of the list grants a token: the SID the entry names (for an
// OWNER RIGHTS entry, or the owner's implicit rights, the owner) and the
// rights that it decides in the token's favour.
struct Grant {
    Sid grantor;
    ACCESS_MASK mask = 0;
    // The owner's own READ_CONTROL and WRITE_DAC, which no entry gave.
    bool byOwnership = false;
};

// The rights that a token holding these SIDs gets, as the platform's access
// check grants MAXIMUM_ALLOWED: entries that apply to the object itself
// (inherit-only ones do not), in their order, each right decided by the first
// entry that names it for a SID held, denying or allowing; generic rights
// mapped; an owner gets READ_CONTROL and WRITE_DAC, which no entry denies,
// unless an OWNER RIGHTS entry says what the owner gets instead; no access
// list at all grants everything. A conditional allowing entry counts as if
// its condition held and a conditional denying one as if it did not: in
// doubt, a right is granted. Grants says which entry gave what, in the
// list's order after the owner's own.
std::vector<Grant> GrantsByAccessList(PSECURITY_DESCRIPTOR descriptor,
                                      const std::vector<PSID>& held,
                                      const GENERIC_MAPPING& mapping);
ACCESS_MASK RightsByAccessList(PSECURITY_DESCRIPTOR descriptor, const std::vector<PSID>& held,
                               const GENERIC_MAPPING& mapping);

// The SIDs that a standard user's logon holds, with the principal: Everyone,
// Users, Authenticated Users and INTERACTIVE, which every such logon holds
// together, and the principal itself (none when it is null). An entry that
// denies any of them binds them all. The anonymous logon holds only itself.
std::vector<Sid> StandardUserHolds(PSID principal);

// What a standard user's logon that holds the principal (null: no principal
// beyond the groups every such logon holds) may do to the object: the
// platform answers where it can, the access list is read where it cannot.
// Every judgement of who may change an object asks here.
ACCESS_MASK RightsOfStandardUser(PSECURITY_DESCRIPTOR descriptor, PSID principal,
                                 const GENERIC_MAPPING& mapping);

// The same rights, each under the SID whose entry grants it. Where the
// platform answered, a right that the list alone would not give is said
// under the principal (or Everyone).
std::vector<Grant> GrantsToStandardUser(PSECURITY_DESCRIPTOR descriptor, PSID principal,
                                        const GENERIC_MAPPING& mapping);

// The SID of Everyone.
PSID Everyone();

// Whether the SID is one that every standard user's logon holds.
bool EveryStandardUserHolds(PSID sid);

// Whether the platform answers for any principal here; false where the
// rights are read from the access list instead.
bool PlatformAnswersForAnyPrincipal();

// The principals that the descriptor names: its owner, then every SID that
// an allowing entry for the object itself names, each once.
std::vector<Sid> PrincipalsNamed(PSECURITY_DESCRIPTOR descriptor);

// The object's owner; null when it has none.
PSID OwnerOf(PSECURITY_DESCRIPTOR descriptor);

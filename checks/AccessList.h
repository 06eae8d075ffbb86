#pragma once
// What one principal may do to an object, from the object's security
// descriptor. The platform answers where it can (Authz, on Windows); where it
// cannot answer for a principal other than the caller (Wine has no Authz, and
// a token made from the caller's holds only the caller's own groups), the
// access list is evaluated here by the platform's documented rules.
#include "checks/Trust.h"

#include <windows.h>

#include <vector>

// The rights that a token holding these SIDs gets, as the platform's access
// check grants MAXIMUM_ALLOWED: entries that apply to the object itself
// (inherit-only ones do not), in their order, each right decided by the first
// entry that names it for a SID held, denying or allowing; generic rights
// mapped; an owner gets READ_CONTROL and WRITE_DAC, which no entry denies,
// unless an OWNER RIGHTS entry says what the owner gets instead; no access
// list at all grants everything. A conditional allowing entry counts as if
// its condition held and a conditional denying one as if it did not: in
// doubt, a right is granted.
ACCESS_MASK RightsByAccessList(PSECURITY_DESCRIPTOR descriptor, const std::vector<PSID>& held,
                               const GENERIC_MAPPING& mapping);

// The rights of one principal, as any logon holding it has them: with
// Everyone, which every logon but the anonymous one holds, so that entries
// for Everyone, denying or allowing, apply to it too.
ACCESS_MASK RightsOfPrincipal(PSECURITY_DESCRIPTOR descriptor, PSID principal,
                              const GENERIC_MAPPING& mapping);

// The SID of Everyone.
PSID Everyone();

// Whether a logon holding the principal holds Everyone too: every logon but
// the anonymous one.
bool HoldsEveryone(PSID principal);

// Whether the platform answers for any principal here; false where the
// rights are read from the access list instead.
bool PlatformAnswersForAnyPrincipal();

// The principals that the descriptor names: its owner, then every SID that
// an allowing entry for the object itself names, each once.
std::vector<Sid> PrincipalsNamed(PSECURITY_DESCRIPTOR descriptor);

// The object's owner; null when it has none.
PSID OwnerOf(PSECURITY_DESCRIPTOR descriptor);

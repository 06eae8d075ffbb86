#pragma once
// Who is trusted with what the pass runs as an administrator: the system,
// the administrators, and whoever the platform says is one of them. Every
// other principal that appears in an object's access list, or owns it, is an
// ordinary user, whatever group it is.
#include <windows.h>

#include <string>
#include <vector>

// A SID held in memory of its own.
using Sid = std::vector<BYTE>;

Sid CopyOfSid(PSID sid);
// Empty when the text is not a SID ("S-1-5-7").
Sid SidFromText(const char* text);

// Whether the list holds the SID.
bool ContainsSid(const std::vector<Sid>& sids, PSID sid);

// SYSTEM, Administrators, TrustedInstaller, an account or group that the
// platform lists as a member of Administrators, or the running account when
// its own token holds Administrators.
bool IsTrusted(PSID sid);

// Placeholders that no logon holds (CREATOR OWNER, OWNER RIGHTS and the
// other S-1-3 SIDs): what they stand for is judged where it applies.
bool IsPlaceholder(PSID sid);

// The principal as the report names it: a group by its name ("Everyone",
// "Remote Desktop Users"), an account by its name and its SID
// ("HOST\alice (S-1-5-21-...-1001)"), and the SID alone when the platform
// has no name for it.
std::string NameOfPrincipal(PSID sid);

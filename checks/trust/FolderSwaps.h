#pragma once
// Who may swap a folder for one of their own: move it away and make a folder
// of its name in its parent. Whatever the loader then takes from below that
// name is theirs, however safe the files that were there.
#include "checks/trust/Trust.h"

#include <windows.h>

#include <string>
#include <vector>

// The principals whose entries let a standard user's logon that holds the
// principal move the folder away (delete it, or delete in its parent) and
// make a folder of that name in the parent: then what is loaded from below it
// is theirs. None when it may not. Whoever may change an access list may
// grant itself either.
std::vector<Sid> SwappedBy(PSECURITY_DESCRIPTOR folder, PSECURITY_DESCRIPTOR parent,
                           PSID principal);

// "Users", or "Users and Authenticated Users together": a standard user holds
// them all at once.
std::string Together(const std::vector<Sid>& principals);

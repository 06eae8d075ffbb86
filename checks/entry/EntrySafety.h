#pragma once
// Who may change what an entry runs or registers with an administrator's
// rights: its file and the new version that replaces it at restart, where
// the process that registers it finds them, and the folders above them.
#include "checks/renames/RestartRenames.h"
#include "checks/text/Findings.h"

#include <vector>

// The files that an entry will run or register, as the restart leaves them:
// the file itself, the new version that replaces it at restart, and the
// folders above them, from the first of which the loader takes other DLLs
// first. Nothing for a file that will not be there: the entry's own checks
// say so.
Findings CheckEntrySafety(char kind, bool is64Bit, const char* file,
                          const std::vector<PendingRename>& renames);

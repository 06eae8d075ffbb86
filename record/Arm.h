#pragma once
// Arming: the RunOnce value that starts a copy of the tool with "/S" at the
// next logon.
#include <string>

// The path that a copy of the tool made by "arm" now would have, for its
// length: the pass's command lines name the copy, not the tool. Empty when
// the Windows folder cannot be found.
std::wstring FutureCopyPath(const std::wstring& tool);

#pragma once
// Arming: the RunOnce value that starts a copy of the tool with "/S" at the
// next logon.
#include <string>

// The RunOnce value that already starts a copy of the tool with "/S": a file
// with the same bytes as the tool, or the tool's file name, that is there.
// Fills its path and the value's name; false when no value does.
bool FindArmedCopy(const std::wstring& tool, std::wstring* copy, std::wstring* valueName);

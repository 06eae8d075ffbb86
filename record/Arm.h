#pragma once
// Arming: the RunOnce value that starts a copy of the tool with "/S" at the
// next logon.
#include "checks/Arming.h"

#include <string>
#include <vector>

// The path that a copy of the tool made by "arm" now would have, for its
// length: the pass's command lines name the copy, not the tool. Empty when
// the Windows folder cannot be found.
std::wstring FutureCopyPath(const std::wstring& tool);

// Says, one warning line each, which RunOnce values that start copies of the
// tool are not taken and why, and when more than one starts a copy: only the
// first to run finds work sets to run. taken: the copy the lines name, if any.
void WarnOfArmedCopies(const std::vector<ArmedCopy>& judged, const ArmedCopy* taken);

// With no work set left in either registry view, nothing needs the pass: the
// RunOnce value of that name (default "pendreg") goes when it starts a copy
// of the tool, with the copy and its folder, and so do the folders of copies
// that no RunOnce value names. Says what it removed; false, complained, when
// the value could not be deleted. While any work set is recorded, a value and
// a copy stay, whichever product armed them: they run every work set.
bool DisarmWhenNothingRecorded(const std::wstring& name);

#pragma once
// Arming: the RunOnce value that starts a copy of the tool with "/S" at the
// next logon.
#include "checks/arming/Arming.h"

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

// Takes back every arming the recorder made that nothing needs any more:
// one that no named product relies on, once its RunOnce value has run (or
// is gone) or no work set is left in either registry view for a pass to run.
// Only what is still what arm made goes: the value while it starts the copy
// it was made with, the copy and its folder while they are the same files,
// not links. Says what it removed, and what it left and why. With deadOnly,
// only armings whose value is gone. False, complained, when a value could
// not be deleted.
bool TakeBackUnneededArmings(bool deadOnly);

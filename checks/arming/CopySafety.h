#pragma once
// Who may change the tool's copy that a RunOnce value starts, which runs the
// pass with an administrator's rights: its bytes where they lie until the
// restart, the place it runs from, and the folders above both.
#include "checks/text/Findings.h"

#include <string>

// The tool's copy that a RunOnce value starts, judged where its bytes lie
// (lying: the source of the pending rename that brings it in, or the copy
// itself), and the folders above the place it runs from.
Findings CheckCopySafety(const std::wstring& copy, const std::wstring& lying);

#pragma once
// Judges the file that an entry will register, as the process that
// registers it will find it: present now or put in place at restart, and of
// the kind and bitness that the entry's mode says.
#include "checks/Findings.h"

// kind and is64Bit as the pass reads them from the entry's mode; toolBits is
// the bitness of the tool, and so of its own child (32 or 64).
Findings CheckEntryFile(char kind, bool is64Bit, const char* file, int toolBits);

#pragma once
// The undo of the pass: each entry unregistered as the pass registered it,
// in a process of its own, by a program of the same bitness with the same
// redirection: a D entry by a copy of the recorder that calls the DLL's
// DllUnregisterServer, a T entry by one that unregisters the library, an E
// entry by the server with "/unregserver", and a marked entry by the 64-bit
// regsvr32.exe with "/u", redirection off around it. A component's own code
// may hang or show a dialog: no message boxes, and a time-out.
#include "record/WorkSetWriter.h"

#include <string>

// Whether this process was started as an unregistering copy. If so, it has
// unregistered the DLL or type library that its arguments name, and the
// caller ends with exitCode.
bool RunUnregistrationIfAsked(int* exitCode);

// Unregisters the entry (mode "D", "DX", "E", "T" or "TX") as the pass of a
// tool of toolBits registered it, and waits for the process. False, with
// failure saying why ("it does not export DllUnregisterServer"), when it did
// not unregister, or could not be started, or was ended for taking too long.
bool UnregisterEntry(const NewEntry& entry, int toolBits, std::string* failure);

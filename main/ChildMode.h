#pragma once

#include "main/CommandLine.h"

// The work of every "/" command but "/S": one registration inside this
// process ("D" a DLL, "T" a type library, any other letter nothing), within
// the error mode that keeps the system's message boxes away and with OLE
// initialised on this thread. Leaves the error mode at 0.
void RunChildMode(const ToolCommand& command);

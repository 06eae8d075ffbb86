#pragma once
// Work done in a process of its own, where a component's code may crash or
// hang: the companion itself started again with a hidden option and a path,
// or another program, without a console or standard handles, and waited for
// a limited time. Every companion dispatches its hidden options first thing
// in its main.
#include <windows.h>

#include <string>

enum class ChildEnd { Ended, TimedOut, NotStarted };

// Starts the command line (which CreateProcessW may change) and waits up to timeoutMs, then ends
// the process. code: its exit code when it ended, the error when it did not start.
ChildEnd RunHidden(wchar_t* commandLine, DWORD timeoutMs, DWORD* code);

// Starts this program again as "SELF" OPTIONPATH, as RunHidden does.
ChildEnd RunOwnCopy(const wchar_t* option, const std::wstring& path, DWORD timeoutMs, DWORD* code);

// The path after the option when this process was started as such a copy,
// else null. It runs to the end of the command line, as written.
const wchar_t* OwnCopyPath(const wchar_t* option);

// For the copy, before it runs a component's code: no message boxes, and a
// crash ends it at once with the exception's code (no debugger, no report).
void QuietOwnCopy();

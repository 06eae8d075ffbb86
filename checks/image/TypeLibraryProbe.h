#pragma once
// Loading a type library to see whether it loads: the platform's loader may
// crash on a damaged file, so the library is loaded in a child process, the
// companion itself started again with a hidden option. Every companion that
// links the checks dispatches that option first thing in its main.
#include <windows.h>

#include <string>

// Whether this process was started as a probe. If so, it loads the library
// that the command line names and the caller ends with exitCode.
bool RunTypeLibraryProbeIfAsked(int* exitCode);

enum class TypeLibraryLoad { Loads, DoesNotLoad, LoaderCrashed, TimedOut, NotStarted };

struct ProbeResult {
    TypeLibraryLoad load;
    // The probe's exit code when the loader crashed, the error when it could
    // not be started.
    DWORD code;
};

// Loads the library in a probe that registers nothing (REGKIND_NONE) and
// waits for it a limited time.
ProbeResult ProbeTypeLibrary(const std::wstring& path);

#include "checks/TypeLibraryProbe.h"

#include <oleauto.h>

#include <wchar.h>

namespace {

const wchar_t kProbeOption[] = L"--probe-type-library=";
const int kProbeLoads = 0;
const int kProbeDoesNotLoad = 1;
// A loader that hangs is given this long; under emulation a process takes
// about a minute to start.
const DWORD kProbeTimeoutMs = 180000;

// The command line after the program's name and the spaces that follow it.
const wchar_t* Arguments(const wchar_t* line) {
    if (*line == L'"') {
        const wchar_t* close = wcschr(line + 1, L'"');
        line = close == nullptr ? line + wcslen(line) : close + 1;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') {
            ++line;
        }
    }
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    return line;
}

// A crash in the loader ends the probe with the exception's code, at once:
// no debugger, no report, no dialog.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

int LoadTypeLibraryHere(const wchar_t* path) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &library))) {
        return kProbeDoesNotLoad;
    }
    library->Release();
    return kProbeLoads;
}

std::wstring OwnPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace

bool RunTypeLibraryProbeIfAsked(int* exitCode) {
    const wchar_t* arguments = Arguments(GetCommandLineW());
    size_t optionLength = wcslen(kProbeOption);
    if (wcsncmp(arguments, kProbeOption, optionLength) != 0) {
        return false;
    }
    // The path runs to the end of the line, as written: no quotes to undo.
    *exitCode = LoadTypeLibraryHere(arguments + optionLength);
    return true;
}

ProbeResult ProbeTypeLibrary(const std::wstring& path) {
    std::wstring self = OwnPath();
    std::wstring line = L"\"" + self + L"\" " + kProbeOption + path;
    // No console and no standard handles: the probe says everything with its
    // exit code, and holds nothing of its parent's open.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    if (self.empty() || !CreateProcessW(self.c_str(), &line[0], nullptr, nullptr, FALSE,
                                        DETACHED_PROCESS, nullptr, nullptr, &startup, &process)) {
        return {TypeLibraryLoad::NotStarted, GetLastError()};
    }
    CloseHandle(process.hThread);
    ProbeResult result = {TypeLibraryLoad::TimedOut, 0};
    if (WaitForSingleObject(process.hProcess, kProbeTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    } else {
        GetExitCodeProcess(process.hProcess, &result.code);
        result.load = result.code == kProbeLoads         ? TypeLibraryLoad::Loads
                      : result.code == kProbeDoesNotLoad ? TypeLibraryLoad::DoesNotLoad
                                                         : TypeLibraryLoad::LoaderCrashed;
    }
    CloseHandle(process.hProcess);
    return result;
}

#include "companion/OwnCopy.h"

#include <wchar.h>

namespace {

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

LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

ChildEnd RunHidden(wchar_t* commandLine, DWORD timeoutMs, DWORD* code) {
    // No console and no standard handles: the child says everything with
    // its exit code, and holds nothing of its parent's open.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process)) {
        *code = GetLastError();
        return ChildEnd::NotStarted;
    }
    CloseHandle(process.hThread);
    ChildEnd end = ChildEnd::Ended;
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        end = ChildEnd::TimedOut;
    }
    GetExitCodeProcess(process.hProcess, code);
    CloseHandle(process.hProcess);
    return end;
}

ChildEnd RunOwnCopy(const wchar_t* option, const std::wstring& path, DWORD timeoutMs, DWORD* code) {
    std::wstring self = OwnPath();
    if (self.empty()) {
        *code = GetLastError();
        return ChildEnd::NotStarted;
    }
    std::wstring line = L"\"" + self + L"\" " + option + path;
    return RunHidden(&line[0], timeoutMs, code);
}

const wchar_t* OwnCopyPath(const wchar_t* option) {
    const wchar_t* arguments = Arguments(GetCommandLineW());
    size_t length = wcslen(option);
    return wcsncmp(arguments, option, length) == 0 ? arguments + length : nullptr;
}

void QuietOwnCopy() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
}

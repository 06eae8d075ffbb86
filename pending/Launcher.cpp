#include "pending/Launcher.h"

#include "main/PathBuffer.h"

#include <windows.h>

typedef BOOLEAN(WINAPI* EnableRedirectionProc)(BOOLEAN);

bool GetOwnPath(char* path) {
    DWORD length = GetModuleFileNameA(GetModuleHandleA(nullptr), path, kPathBufferSize);
    // A full buffer means the path was cut: starting or scheduling a cut path
    // would act on some other file.
    return length != 0 && length < static_cast<DWORD>(kPathBufferSize);
}

static const char kServerFormat[] = "\"%s\" /regserver";
static const char kRegsvrFormat[] = "\"%s\\regsvr32.exe\" /s \"%s\"";
static const char kChildFormat[] = "\"%s\" /%c%s";

// True when the format, with "%c" as one character and "%s" replaced by the
// strings, fits a command-line buffer with its terminator. A cut command line
// would name another program or file, so such an entry is never started.
static bool FitsCommandLine(const char* format, const char* first, const char* second) {
    int length = lstrlenA(first) + lstrlenA(second);
    for (; *format != '\0'; ++format) {
        if (format[0] == '%') {
            ++format;
            if (*format == 's') {
                continue;
            }
        }
        ++length;
    }
    return length < kPathBufferSize;
}

bool FormatCommandLine(char kind, const char* file, bool is64Bit, const char* path,
                       char* commandLine) {
    // Every format is checked and filled from two strings: for E the file
    // and nothing; for a marked entry the system directory and the file; for
    // the tool's child its own path and the file, the kind letter between.
    const char* format = kChildFormat;
    if (kind == 'E') {
        format = kServerFormat;
        path = file;
        file = "";
    } else if (is64Bit) {
        format = kRegsvrFormat;
    }
    if (!FitsCommandLine(format, path, file)) {
        return false;
    }
    if (format == kChildFormat) {
        wsprintfA(commandLine, format, path, kind, file);
    } else {
        wsprintfA(commandLine, format, path, file);
    }
    return true;
}

bool GetSystemPath(char* path) {
    UINT length = GetSystemDirectoryA(path, kPathBufferSize);
    return length != 0 && length < static_cast<UINT>(kPathBufferSize);
}

// Formats the command line for an entry into commandLine; false when a path
// cannot be had or the line would not fit whole.
static bool BuildCommandLine(char kind, const char* file, bool is64Bit, char* commandLine) {
    char path[kPathBufferSize];
    if (kind != 'E' && !(is64Bit ? GetSystemPath(path) : GetOwnPath(path))) {
        return false;
    }
    return FormatCommandLine(kind, file, is64Bit, path, commandLine);
}

// Starts the command line and waits for the process to end; its exit code is
// not read.
static void RunAndWait(char* commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
}

void LaunchRegistration(char kind, const char* file, bool is64Bit) {
    char commandLine[kPathBufferSize];
    if (!BuildCommandLine(kind, file, is64Bit, commandLine)) {
        return;
    }
    // Only the 64-bit regsvr32.exe is wanted: with redirection on, a 32-bit
    // process asking for the system directory's copy gets the 32-bit one.
    bool redirectionOff = RunsWithRedirectionOff(kind, is64Bit);
    if (redirectionOff) {
        SetFsRedirection(false);
    }
    RunAndWait(commandLine);
    if (is64Bit) {
        SetFsRedirection(true);
    }
}

void RegisterEntry(char kind, const char* file, bool is64Bit) {
    if (FilterEntry(kind, file) != kEntryRuns) {
        return;
    }
    LaunchRegistration(kind, file, is64Bit);
}

void SetFsRedirection(bool enabled) {
    // Looked up at every call: the function exists only on 64-bit systems
    // that run 32-bit processes.
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr) {
        return;
    }
    FARPROC entry = GetProcAddress(kernel, "Wow64EnableWow64FsRedirection");
    if (entry == nullptr) {
        return;
    }
    reinterpret_cast<EnableRedirectionProc>(reinterpret_cast<void (*)()>(entry))(enabled ? TRUE
                                                                                         : FALSE);
}

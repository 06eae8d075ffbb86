#include "record/Unregister.h"

#include "checks/Findings.h"
#include "checks/Redirection.h"
#include "pending/Launcher.h"

#include <windows.h>
#include <oleauto.h>

#include <wchar.h>

namespace {

const wchar_t kDllOption[] = L"--unregister-dll=";
const wchar_t kTypeLibraryOption[] = L"--unregister-type-library=";

// What the unregistering copy ends with. Any other code is a crash's.
const DWORD kUnregistered = 0;
const DWORD kRefused = 10;
const DWORD kNoExport = 11;
const DWORD kDidNotLoad = 12;

// A hung DllUnregisterServer must not hang an uninstall; under emulation a
// process alone takes about a minute to start.
const DWORD kUnregisterTimeoutMs = 5 * 60 * 1000;

typedef HRESULT(STDAPICALLTYPE* UnregisterServerProc)();

DWORD UnregisterDllHere(const wchar_t* path) {
    // As the pass's child loads it: its own folder searched first.
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        return kDidNotLoad;
    }
    FARPROC entry = GetProcAddress(module, "DllUnregisterServer");
    DWORD status = kNoExport;
    if (entry != nullptr) {
        HRESULT result =
            reinterpret_cast<UnregisterServerProc>(reinterpret_cast<void (*)()>(entry))();
        status = SUCCEEDED(result) ? kUnregistered : kRefused;
    }
    FreeLibrary(module);
    return status;
}

DWORD UnregisterTypeLibraryHere(const wchar_t* path) {
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &library))) {
        return kDidNotLoad;
    }
    TLIBATTR* attributes = nullptr;
    HRESULT result = library->GetLibAttr(&attributes);
    if (SUCCEEDED(result)) {
        result = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                                   attributes->wMinorVerNum, attributes->lcid, attributes->syskind);
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return SUCCEEDED(result) ? kUnregistered : kRefused;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

std::wstring OwnImage() {
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, &own[0], static_cast<DWORD>(own.size())));
    return own;
}

// How one entry is taken back.
struct Undo {
    std::wstring commandLine;
    // The 64-bit regsvr32.exe started from a 32-bit process, as the pass
    // starts it: the file is looked at with redirection off too.
    bool redirectionOff = false;
    // Started as the recorder's own copy, whose exit codes are its own.
    bool ownCopy = false;
    const char* program = "";
};

// regsvr32.exe of that bitness: the system folder's, seen with redirection
// off, or the 32-bit one beside it for a 64-bit recorder.
bool RegsvrUndo(int bits, const std::wstring& file, Undo* undo) {
    std::wstring folder;
    if (bits == 64) {
        char system[kPathBufferSize];
        if (!GetSystemPath(system)) {
            return false;
        }
        folder = AnsiToWide(system);
        undo->redirectionOff = true;
    } else {
        wchar_t wow64[MAX_PATH];
        UINT length = GetSystemWow64DirectoryW(wow64, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            return false;
        }
        folder = wow64;
    }
    undo->commandLine = Quoted(folder + L"\\regsvr32.exe") + L" /u /s " + Quoted(file);
    undo->program = "regsvr32.exe /u";
    return true;
}

// False when the program that would take it back cannot be found.
bool PlanUndo(const NewEntry& entry, int toolBits, Undo* undo) {
    char kind = entry.mode[0];
    bool is64Bit = entry.mode.size() > 1;
    std::wstring file = AnsiToWide(entry.file.c_str());
    if (kind == 'E') {
        undo->commandLine = Quoted(file) + L" /unregserver";
        undo->program = "/unregserver";
        return true;
    }
    // The tool's own child registered an unmarked DLL: a copy of this
    // program has its bitness only when it is the tool's.
    int ownBits = static_cast<int>(sizeof(void*) * 8);
    if (is64Bit || (kind == 'D' && toolBits != ownBits)) {
        return RegsvrUndo(is64Bit ? 64 : toolBits, file, undo);
    }
    undo->commandLine =
        Quoted(OwnImage()) + L" " + Quoted((kind == 'T' ? kTypeLibraryOption : kDllOption) + file);
    undo->ownCopy = true;
    return true;
}

std::string OwnCopyFailure(char kind, DWORD code) {
    switch (code) {
    case kNoExport:
        return "it does not export DllUnregisterServer";
    case kDidNotLoad:
        return kind == 'T' ? "it does not load as a type library" : "it does not load";
    case kRefused:
        return kind == 'T' ? "UnRegisterTypeLib failed" : "its DllUnregisterServer failed";
    }
    char text[80];
    wsprintfA(text, "the process that unregisters it ended with 0x%08lX", code);
    return text;
}

// Starts the command line without a console or standard handles, and waits
// for it a limited time; the process is ended when it takes longer.
bool RunUndo(Undo& undo, DWORD* exitCode, std::string* failure) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    BOOL started;
    {
        RedirectionOff off(undo.redirectionOff);
        started = CreateProcessW(nullptr, &undo.commandLine[0], nullptr, nullptr, FALSE,
                                 DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
    }
    if (!started) {
        *failure = "it could not be started (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    CloseHandle(process.hThread);
    bool ended = WaitForSingleObject(process.hProcess, kUnregisterTimeoutMs) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.hProcess, 1);
        *failure = "it did not end within " + std::to_string(kUnregisterTimeoutMs / 60000) +
                   " minutes, and was ended";
    }
    GetExitCodeProcess(process.hProcess, exitCode);
    CloseHandle(process.hProcess);
    return ended;
}

bool FileThere(const std::wstring& file, bool redirectionOff) {
    RedirectionOff off(redirectionOff);
    return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

bool RunUnregistrationIfAsked(int argc, wchar_t** argv, int* exitCode) {
    if (argc != 2) {
        return false;
    }
    bool dll = StartsWith(argv[1], kDllOption);
    if (!dll && !StartsWith(argv[1], kTypeLibraryOption)) {
        return false;
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    OleInitialize(nullptr);
    *exitCode =
        static_cast<int>(dll ? UnregisterDllHere(argv[1] + wcslen(kDllOption))
                             : UnregisterTypeLibraryHere(argv[1] + wcslen(kTypeLibraryOption)));
    OleUninitialize();
    return true;
}

bool UnregisterEntry(const NewEntry& entry, int toolBits, std::string* failure) {
    Undo undo;
    if (entry.mode.empty() || !PlanUndo(entry, toolBits, &undo)) {
        *failure = "the program that unregisters it cannot be found";
        return false;
    }
    if (!FileThere(AnsiToWide(entry.file.c_str()), undo.redirectionOff)) {
        *failure = "it is not there any more";
        return false;
    }
    // Whatever it starts inherits the mode: a crash or a missing file shows
    // no message box that would wait for someone to click it.
    UINT mode =
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    DWORD exitCode = 0;
    bool ended = RunUndo(undo, &exitCode, failure);
    SetErrorMode(mode);
    if (!ended || exitCode == 0) {
        return ended;
    }
    *failure = undo.ownCopy ? OwnCopyFailure(entry.mode[0], exitCode)
                            : std::string(undo.program) + " ended with exit code " +
                                  std::to_string(exitCode);
    return false;
}

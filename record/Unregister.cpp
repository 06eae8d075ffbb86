#include "record/Unregister.h"

#include "checks/paths/Redirection.h"
#include "checks/text/Findings.h"
#include "companion/OwnCopy.h"
#include "pending/Launcher.h"

#include <oleauto.h>

namespace {

// The copy's option, then the kind letter, D or T, and the path, as the
// tool's own child takes them.
const wchar_t kOption[] = L"--unregister=";

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

// Why the recorder's own copy did not unregister, by its exit code.
const char* OwnCopyFailure(char kind, DWORD code) {
    switch (code) {
    case kNoExport:
        return "it does not export DllUnregisterServer";
    case kDidNotLoad:
        return kind == 'T' ? "it does not load as a type library" : "it does not load";
    case kRefused:
        return kind == 'T' ? "UnRegisterTypeLib failed" : "its DllUnregisterServer failed";
    }
    return "the process that unregisters it ended with 0x%08lX";
}

// The command line of a program that takes the entry back, as the pass
// starts it for the registration: the server, or the system's regsvr32.exe.
// False when the system folder cannot be found.
bool ProgramUndo(char kind, const wchar_t* file, wchar_t* line) {
    char system[kPathBufferSize];
    lstrcpyW(line, L"\"");
    if (kind != 'E') {
        if (!GetSystemPath(system)) {
            return false;
        }
        MultiByteToWideChar(CP_ACP, 0, system, -1, line + 1, kPathBufferSize);
        lstrcatW(line, L"\\regsvr32.exe\" /u /s \"");
    }
    lstrcatW(line, file);
    lstrcatW(line, kind == 'E' ? L"\" /unregserver" : L"\"");
    return true;
}

} // namespace

bool RunUnregistrationIfAsked(int* exitCode) {
    const wchar_t* given = OwnCopyPath(kOption);
    if (given == nullptr || *given == L'\0') {
        return false;
    }
    QuietOwnCopy();
    OleInitialize(nullptr);
    *exitCode = static_cast<int>(*given == L'T' ? UnregisterTypeLibraryHere(given + 1)
                                                : UnregisterDllHere(given + 1));
    OleUninitialize();
    return true;
}

bool UnregisterEntry(const NewEntry& entry, int toolBits, std::string* failure) {
    char kind = entry.mode[0];
    // Room for the pass's own limits: a file and the system folder of fewer
    // than kPathBufferSize bytes each.
    wchar_t file[kPathBufferSize];
    wchar_t line[3 * kPathBufferSize];
    MultiByteToWideChar(CP_ACP, 0, entry.file.c_str(), -1, file, kPathBufferSize);
    // The tool's own child registered an unmarked entry, in a process of the
    // tool's bitness: a copy of the recorder has it when the recorder is of
    // the tool's bitness, and any process can take back a type library.
    // Otherwise, and for a marked entry, the system's 64-bit regsvr32.exe,
    // with redirection off, which hands a 32-bit DLL on to the 32-bit one.
    bool ownCopy = kind != 'E' && entry.mode.size() == 1 &&
                   (kind == 'T' || toolBits == static_cast<int>(sizeof(void*) * 8));
    const char* why = nullptr;
    if (!ownCopy && !ProgramUndo(kind, file, line)) {
        why = "the system folder cannot be found";
    }
    RedirectionOff off(kind != 'E' && !ownCopy);
    if (why == nullptr && GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES) {
        why = "it is not there any more";
    }
    // Whatever it starts inherits the mode: a crash or a missing file shows
    // no message box that would wait for someone to click it.
    UINT mode =
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    DWORD code = 0;
    ChildEnd end = why != nullptr ? ChildEnd::Ended
                   : ownCopy ? RunOwnCopy(kind == 'T' ? L"--unregister=T" : L"--unregister=D", file,
                                          kUnregisterTimeoutMs, &code)
                             : RunHidden(line, kUnregisterTimeoutMs, &code);
    SetErrorMode(mode);
    if (why == nullptr) {
        why = end == ChildEnd::NotStarted ? "it could not be started (error %lu)"
              : end == ChildEnd::TimedOut ? "it did not end within 5 minutes, and was ended"
              : code == 0                 ? nullptr
              : ownCopy                   ? OwnCopyFailure(kind, code)
              : kind == 'E'               ? "/unregserver ended with exit code %lu"
                                          : "regsvr32.exe /u ended with exit code %lu";
    }
    if (why != nullptr) {
        char text[128];
        wsprintfA(text, why, code);
        *failure = text;
    }
    return why == nullptr;
}

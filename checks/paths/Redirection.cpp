#include "checks/paths/Redirection.h"

#include <windows.h>

namespace {

typedef BOOL(WINAPI* DisableProc)(void**);
typedef BOOL(WINAPI* RevertProc)(void*);

// Looked up at run time: only 64-bit Windows has these, and a 64-bit process
// has no redirection to switch.
FARPROC Kernel32Function(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32");
    return kernel == nullptr ? nullptr : GetProcAddress(kernel, name);
}

} // namespace

RedirectionOff::RedirectionOff(bool wanted) {
    FARPROC disable = wanted ? Kernel32Function("Wow64DisableWow64FsRedirection") : nullptr;
    if (disable != nullptr) {
        off_ = reinterpret_cast<DisableProc>(reinterpret_cast<void (*)()>(disable))(&saved_) != 0;
    }
}

RedirectionOff::~RedirectionOff() {
    FARPROC revert = off_ ? Kernel32Function("Wow64RevertWow64FsRedirection") : nullptr;
    if (revert != nullptr) {
        reinterpret_cast<RevertProc>(reinterpret_cast<void (*)()>(revert))(saved_);
    }
}

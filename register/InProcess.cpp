#include "register/InProcess.h"

#include "main/PathBuffer.h"

#include <windows.h>
#include <oleauto.h>

typedef HRESULT(STDAPICALLTYPE* RegisterServerProc)();

void RegisterDllServer(const char* path) {
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        return;
    }
    FARPROC entry = GetProcAddress(module, "DllRegisterServer");
    if (entry != nullptr) {
        // The export's own result is not ours to judge: registration outcomes
        // are never reported.
        reinterpret_cast<RegisterServerProc>(reinterpret_cast<void (*)()>(entry))();
    }
    FreeLibrary(module);
}

void RegisterTypeLibrary(const char* path) {
    WCHAR widePath[kPathBufferSize];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, kPathBufferSize) == 0) {
        return;
    }
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLib(widePath, &library))) {
        return;
    }
    RegisterTypeLib(library, widePath, nullptr);
    library->Release();
}

#include "checks/image/TypeLibraryProbe.h"

#include "companion/OwnCopy.h"

#include <oleauto.h>

#include <wchar.h>

namespace {

const wchar_t kProbeOption[] = L"--probe-type-library=";
const int kProbeLoads = 0;
const int kProbeDoesNotLoad = 1;
// A loader that hangs is given this long; under emulation a process takes
// about a minute to start.
const DWORD kProbeTimeoutMs = 180000;

int LoadTypeLibraryHere(const wchar_t* path) {
    QuietOwnCopy();
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &library))) {
        return kProbeDoesNotLoad;
    }
    library->Release();
    return kProbeLoads;
}

} // namespace

bool RunTypeLibraryProbeIfAsked(int* exitCode) {
    const wchar_t* path = OwnCopyPath(kProbeOption);
    if (path == nullptr) {
        return false;
    }
    *exitCode = LoadTypeLibraryHere(path);
    return true;
}

ProbeResult ProbeTypeLibrary(const std::wstring& path) {
    ProbeResult result = {TypeLibraryLoad::TimedOut, 0};
    switch (RunOwnCopy(kProbeOption, path, kProbeTimeoutMs, &result.code)) {
    case ChildEnd::NotStarted:
        result.load = TypeLibraryLoad::NotStarted;
        break;
    case ChildEnd::TimedOut:
        result.code = 0;
        break;
    case ChildEnd::Ended:
        result.load = result.code == kProbeLoads         ? TypeLibraryLoad::Loads
                      : result.code == kProbeDoesNotLoad ? TypeLibraryLoad::DoesNotLoad
                                                         : TypeLibraryLoad::LoaderCrashed;
        break;
    }
    return result;
}

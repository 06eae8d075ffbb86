#include "checks/Manifest.h"

#include <windows.h>

#include <algorithm>

namespace {

bool Contains(const BYTE* data, size_t size, const std::string& text) {
    return std::search(data, data + size, text.begin(), text.end()) != data + size;
}

// Whether a manifest among the module's resources, checked to lie inside
// its view, names a dependent assembly, in UTF-8 or in UTF-16.
BOOL CALLBACK SearchManifest(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
    static const char kTag[] = "dependentAssembly";
    static const char kWideTag[] = "d\0e\0p\0e\0n\0d\0e\0n\0t\0A\0s\0s\0e\0m\0b\0l\0y";
    auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module) & ~3);
    MEMORY_BASIC_INFORMATION view;
    HRSRC resource = FindResourceW(module, name, type);
    HGLOBAL loaded = resource == nullptr ? nullptr : LoadResource(module, resource);
    auto* data = static_cast<const BYTE*>(LockResource(loaded));
    DWORD size = resource == nullptr ? 0 : SizeofResource(module, resource);
    if (data == nullptr || VirtualQuery(base, &view, sizeof(view)) == 0 || data < base ||
        data + size > static_cast<const BYTE*>(view.BaseAddress) + view.RegionSize) {
        return TRUE;
    }
    bool names = Contains(data, size, kTag) ||
                 Contains(data, size, std::string(kWideTag, sizeof(kWideTag) - 1));
    *reinterpret_cast<bool*>(found) |= names;
    return !names;
}

} // namespace

bool AsksForAssemblies(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return false;
    }
    bool found = false;
    const LPCWSTR kManifestType = MAKEINTRESOURCEW(24); // RT_MANIFEST
    EnumResourceNamesW(module, kManifestType, SearchManifest, reinterpret_cast<LONG_PTR>(&found));
    FreeLibrary(module);
    return found;
}

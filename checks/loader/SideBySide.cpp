#include "checks/loader/SideBySide.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

namespace {

const LPCWSTR kManifestType = MAKEINTRESOURCEW(24); // RT_MANIFEST

// A manifest's text in UTF-8: manifests come in UTF-8 or in UTF-16.
std::string ManifestText(const BYTE* data, DWORD size) {
    bool wide = size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || data[1] == 0);
    if (!wide) {
        return std::string(reinterpret_cast<const char*>(data), size);
    }
    auto* units = reinterpret_cast<const wchar_t*>(data);
    int count = static_cast<int>(size / sizeof(wchar_t));
    int length = WideCharToMultiByte(CP_UTF8, 0, units, count, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, units, count, &text[0], length, nullptr, nullptr);
    return text;
}

// Collects the text of each manifest resource that lies inside the module's
// mapped view.
BOOL CALLBACK CollectManifest(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR texts) {
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
    reinterpret_cast<std::vector<std::string>*>(texts)->push_back(ManifestText(data, size));
    return TRUE;
}

// The value of an attribute of the tag, quoted with ' or "; empty when the
// tag has none.
std::string Attribute(const std::string& tag, const std::string& name) {
    for (size_t at = tag.find(name + "="); at != std::string::npos;
         at = tag.find(name + "=", at + 1)) {
        size_t quote = at + name.size() + 1;
        if (at == 0 || !isspace(static_cast<unsigned char>(tag[at - 1])) || quote >= tag.size()) {
            continue;
        }
        size_t end = tag.find(tag[quote], quote + 1);
        return end == std::string::npos ? std::string() : tag.substr(quote + 1, end - quote - 1);
    }
    return std::string();
}

// The assemblyIdentity of each dependentAssembly in the manifest.
void AddDependencies(const std::string& manifest, std::vector<AssemblyIdentity>& assemblies) {
    for (size_t at = manifest.find("<dependentAssembly"); at != std::string::npos;
         at = manifest.find("<dependentAssembly", at + 1)) {
        size_t start = manifest.find("<assemblyIdentity", at);
        size_t end = manifest.find('>', start);
        if (start == std::string::npos || end == std::string::npos) {
            return;
        }
        std::string tag = manifest.substr(start, end - start);
        assemblies.push_back({Attribute(tag, "name"), Attribute(tag, "version"),
                              Attribute(tag, "processorArchitecture"),
                              Attribute(tag, "publicKeyToken")});
    }
}

std::wstring Lower(const std::string& text) {
    std::wstring wide(text.begin(), text.end());
    if (!wide.empty()) {
        CharLowerBuffW(&wide[0], static_cast<DWORD>(wide.size()));
    }
    return wide;
}

// The four parts of a version, for comparing.
std::vector<unsigned long> VersionParts(const std::string& version) {
    std::vector<unsigned long> parts;
    for (size_t start = 0; start <= version.size() && parts.size() < 4;) {
        size_t dot = std::min(version.find('.', start), version.size());
        parts.push_back(strtoul(version.substr(start, dot - start).c_str(), nullptr, 10));
        start = dot + 1;
    }
    parts.resize(4, 0);
    return parts;
}

// The store's manifests are named ARCH_NAME_TOKEN_VERSION_LANGUAGE_HASH, in
// lower case: the names of those that begin with the prefix given.
std::vector<std::string> StoreManifests(const std::wstring& store, const std::wstring& prefix) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search =
        FindFirstFileW((store + L"\\Manifests\\" + prefix + L"*.manifest").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = found.cFileName;
        names.push_back(std::string(name.begin(), name.end()));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

} // namespace

// Whether the store holds the assembly in that version, or a publisher's
// policy for its major and minor version points to a version at least as
// new that it holds. The policy's version is its own file name's, which is
// the version it redirects to.
StoreResolution ResolveInStore(const std::wstring& store, const AssemblyIdentity& assembly,
                               int bits) {
    StoreResolution resolved;
    std::wstring architecture = Lower(assembly.architecture);
    if (architecture.empty() || architecture == L"*") {
        architecture = bits == 64 ? L"amd64" : L"x86";
    }
    std::wstring name = Lower(assembly.name);
    std::wstring token = Lower(assembly.publicKeyToken);
    if (token.empty() || token == L"null") {
        return resolved; // a private assembly is never in the store
    }
    std::wstring identity = name + L"_" + token + L"_";
    auto holds = [&](const std::string& version) {
        return !StoreManifests(store, architecture + L"_" + identity + Lower(version) + L"_")
                    .empty();
    };
    if (holds(assembly.version)) {
        resolved.installed = true;
        return resolved;
    }
    std::vector<unsigned long> wanted = VersionParts(assembly.version);
    std::wstring policy = architecture + L"_policy." + std::to_wstring(wanted[0]) + L"." +
                          std::to_wstring(wanted[1]) + L"." + identity;
    for (const std::string& file : StoreManifests(store, policy)) {
        std::string version =
            file.substr(policy.size(), file.find('_', policy.size()) - policy.size());
        if (VersionParts(version) >= wanted && holds(version) &&
            (!resolved.installed || VersionParts(version) > VersionParts(resolved.redirectedTo))) {
            resolved.installed = true;
            resolved.redirectedTo = version;
        }
    }
    return resolved;
}

namespace {

std::wstring StoreFolder() {
    wchar_t windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring()
                                             : std::wstring(windows, length) + L"\\WinSxS";
}

} // namespace

std::vector<AssemblyIdentity> ManifestAssemblies(const std::wstring& path) {
    std::vector<AssemblyIdentity> assemblies;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return assemblies;
    }
    std::vector<std::string> manifests;
    EnumResourceNamesW(module, kManifestType, CollectManifest,
                       reinterpret_cast<LONG_PTR>(&manifests));
    FreeLibrary(module);
    for (const std::string& manifest : manifests) {
        AddDependencies(manifest, assemblies);
    }
    return assemblies;
}

void CheckAssemblies(const std::vector<AssemblyIdentity>& assemblies, const std::string& owner,
                     int bits, Findings& findings) {
    std::wstring store = StoreFolder();
    for (const AssemblyIdentity& assembly : assemblies) {
        FindingArgument architecture =
            Words(assembly.architecture.empty() ? "*" : assembly.architecture);
        StoreResolution resolved = ResolveInStore(store, assembly, bits);
        if (resolved.installed && resolved.redirectedTo.empty()) {
            AddFinding(findings, FindingCode::AssemblyInstalled,
                       {Words(owner), Words(assembly.name), Words(assembly.version), architecture,
                        Path(store)});
        } else if (resolved.installed) {
            AddFinding(findings, FindingCode::AssemblyRedirected,
                       {Words(owner), Words(assembly.name), Words(assembly.version), architecture,
                        Words(resolved.redirectedTo), Path(store)});
        } else {
            AddFinding(findings, FindingCode::AssemblyMissing,
                       {Words(owner), Words(assembly.name), Words(assembly.version), architecture,
                        Path(store)});
        }
    }
}

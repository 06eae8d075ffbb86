#include "checks/Dependencies.h"

#include "checks/EntryFile.h"
#include "checks/ImageFacts.h"
#include "checks/Redirection.h"
#include "checks/RestartRenames.h"
#include "checks/SideBySide.h"
#include "pending/Launcher.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <vector>

namespace {

// A module file, as far as the search needs it.
struct ModuleFile {
    // A PE image whose headers and tables lie inside the file.
    bool usable = false;
    bool isDll = false;
    int bits = 0;
    ImageImports imports;
    std::vector<AssemblyIdentity> assemblies;
};

// What lies at a path once the restart's renames are done.
struct Place {
    bool present;
    // Where its bytes lie now: the path itself, unless a rename brings them.
    std::wstring origin;
};

std::wstring Upper(std::wstring text) {
    if (!text.empty()) {
        CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    }
    return text;
}

} // namespace

struct DependencyCache {
    bool is64BitWindows = false;
    // As a process names it, the system folder is the same for either
    // bitness; on 64-bit Windows a 32-bit process that names it gets the
    // 32-bit one, which lies at systemFolder32.
    std::wstring systemFolder;
    std::wstring systemFolder32;
    std::wstring windowsFolder;
    std::vector<std::wstring> pathFolders;
    // Upper case: names that the system resolves without searching.
    std::set<std::wstring> knownDlls;
    // By upper-case path as it lies on disk.
    std::map<std::wstring, Place> places;
    std::map<std::wstring, ModuleFile> modules;
};

namespace {

const wchar_t kMachineEnvironment[] =
    L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t kKnownDlls[] = L"System\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";

std::wstring FolderFrom(UINT(WINAPI* get)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH];
    UINT length = get(folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length);
}

// A string value, its environment variables expanded; empty when missing.
std::wstring RegistryText(HKEY root, const wchar_t* key, const wchar_t* name) {
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    DWORD size = 0;
    if (RegGetValueW(root, key, name, flags, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(root, key, name, flags, nullptr, &text[0], &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    DWORD length = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(text.c_str(), &expanded[0], length) != length) {
        return std::wstring();
    }
    expanded.resize(length - 1);
    return expanded;
}

// The folders of PATH as a session started after the restart gets it: the
// machine's, then the user's. Entries that are no full path lean on the
// current folder, which at restart is anybody's guess, and are left out.
std::vector<std::wstring> PathAtRestart() {
    std::wstring path = RegistryText(HKEY_LOCAL_MACHINE, kMachineEnvironment, L"Path") + L";" +
                        RegistryText(HKEY_CURRENT_USER, L"Environment", L"Path");
    std::vector<std::wstring> folders;
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find(L';', start), path.size());
        std::wstring folder = path.substr(start, end - start);
        folder.erase(std::remove(folder.begin(), folder.end(), L'"'), folder.end());
        while (folder.size() > 3 && folder.back() == L'\\') {
            folder.pop_back();
        }
        if (IsFullPath(folder)) {
            folders.push_back(folder);
        }
    }
    return folders;
}

// The known DLLs: names that the loader takes from the system folder
// whatever lies elsewhere. The DllDirectory values name folders, not DLLs.
std::set<std::wstring> KnownDlls() {
    std::set<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKnownDlls, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[256];
    wchar_t data[MAX_PATH];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 256;
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = REG_NONE;
        LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && type == REG_SZ &&
            _wcsnicmp(name, L"DllDirectory", 12) != 0) {
            data[size / sizeof(wchar_t)] = L'\0';
            names.insert(Upper(data));
        }
    }
    RegCloseKey(key);
    return names;
}

DependencyCache& CacheOf(const FileCheckContext& context) {
    if (!context.dependencies) {
        auto cache = std::make_shared<DependencyCache>();
        cache->systemFolder = FolderFrom(GetSystemDirectoryW);
        cache->systemFolder32 = FolderFrom(GetSystemWow64DirectoryW);
        cache->is64BitWindows = !cache->systemFolder32.empty();
        cache->windowsFolder = FolderFrom(GetSystemWindowsDirectoryW);
        cache->pathFolders = PathAtRestart();
        cache->knownDlls = KnownDlls();
        context.dependencies = cache;
    }
    return *context.dependencies;
}

// Where a path that a process of the given bitness names lies on disk: on
// 64-bit Windows, a 32-bit process that names the system folder gets the
// 32-bit one.
std::wstring OnDisk(const DependencyCache& cache, const std::wstring& path, int bits) {
    std::wstring rest;
    if (bits == 32 && cache.is64BitWindows && Below(path, cache.systemFolder, &rest)) {
        return cache.systemFolder32 + rest;
    }
    return path;
}

const Place& PlaceAt(DependencyCache& cache, const FileCheckContext& context,
                     const std::wstring& path) {
    std::wstring key = Upper(path);
    auto found = cache.places.find(key);
    if (found != cache.places.end()) {
        return found->second;
    }
    AfterRestart after = FindAfterRestart(context.renames, path);
    return cache.places[key] = Place{after.present, after.origin};
}

const ModuleFile& ModuleAt(DependencyCache& cache, const std::wstring& path) {
    std::wstring key = Upper(path);
    auto found = cache.modules.find(key);
    if (found != cache.modules.end()) {
        return found->second;
    }
    ModuleFile module;
    MappedFile image(path);
    const char* damage = nullptr;
    IMAGE_NT_HEADERS* headers = CheckedImageHeaders(image, &damage);
    if (headers != nullptr) {
        module.imports = ReadImageImports(image, headers, &damage);
        module.usable = damage == nullptr;
        module.isDll = (headers->FileHeader.Characteristics & IMAGE_FILE_DLL) != 0;
        module.bits = headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 64 : 32;
        if (module.imports.hasResources) {
            module.assemblies = ManifestAssemblies(path);
        }
    }
    return cache.modules[key] = module;
}

// Where the search for one module ended: found, or (from Missing on) not.
enum class Where { System, OwnFolder, WindowsFolder, Path, Missing, OtherBits, Unusable };

struct Found {
    Where where = Where::Missing;
    // The file, as the loading process names it.
    std::wstring shown;
    // Where its bytes lie now, when a pending rename brings them.
    std::wstring arrivesFrom;
    const ModuleFile* module = nullptr;
    // A file that the process could load, after one that stops the loader.
    std::wstring tooLate;
};

// The folders that the loading process searches, in its order, as it names
// them.
struct SearchOrder {
    int bits;
    std::vector<std::pair<std::wstring, Where>> folders;
};

SearchOrder SearchOrderOf(const DependencyCache& cache, int bits, const std::wstring& ownFolder) {
    SearchOrder order = {bits,
                         {{ownFolder, Where::OwnFolder},
                          {cache.systemFolder, Where::System},
                          {cache.windowsFolder, Where::WindowsFolder}}};
    for (const std::wstring& folder : cache.pathFolders) {
        order.folders.push_back({folder, Where::Path});
    }
    return order;
}

// API sets are names that the system maps to its own modules.
bool IsApiSet(const std::wstring& upperName) {
    return upperName.compare(0, 11, L"API-MS-WIN-") == 0 ||
           upperName.compare(0, 11, L"EXT-MS-WIN-") == 0;
}

// Looks for one module as the loader does. The loader takes the first file
// of the name, and fails when it is of the other bitness or no image at all,
// whatever lies further on.
Found Search(DependencyCache& cache, const FileCheckContext& context, const SearchOrder& order,
             const std::wstring& name) {
    std::wstring upperName = Upper(name);
    Found first;
    if (IsApiSet(upperName) || cache.knownDlls.count(upperName) != 0) {
        first.where = Where::System;
        return first;
    }
    for (const auto& folder : order.folders) {
        Found found;
        found.where = folder.second;
        found.shown = folder.first + L"\\" + name;
        std::wstring onDisk = OnDisk(cache, found.shown, order.bits);
        const Place& place = PlaceAt(cache, context, onDisk);
        if (!place.present) {
            continue;
        }
        found.arrivesFrom = place.origin == onDisk ? std::wstring() : place.origin;
        found.module = &ModuleAt(cache, place.origin);
        bool loads = found.module->usable && found.module->bits == order.bits;
        if (first.where != Where::Missing) {
            first.tooLate = loads ? found.shown : first.tooLate;
        } else if (loads) {
            return found;
        } else {
            first = found;
            first.where = found.module->usable ? Where::OtherBits : Where::Unusable;
        }
    }
    return first;
}

// One import to look for: the module's name, the modules through which the
// file needs it, and the first delay-loaded module on that way (the module
// itself, or none).
struct Link {
    std::string name;
    std::vector<std::string> through;
    std::string delayLoaded;
};

std::string Through(const std::vector<std::string>& chain) {
    std::string text;
    for (const std::string& name : chain) {
        text += (text.empty() ? " (through " : ", then ") + name;
    }
    return text.empty() ? text : text + ")";
}

// The findings of one entry's search.
class DependencyReport {
  public:
    DependencyReport(Findings& findings, int bits, const std::wstring& ownFolder)
        : findings_(findings), bits_(bits), ownFolder_(ReportText(ownFolder)) {}

    void Add(Outcome outcome, const std::string& text) {
        findings_.push_back({outcome, text, true});
        failed_ |= outcome == Outcome::Fail;
    }
    void Problem(const Link& link, const Found& found) {
        bool delayed = !link.delayLoaded.empty();
        std::string text = (link.delayLoaded == link.name ? "delay-loads " : "needs ") + link.name +
                           Through(link.through) + ", which a " + std::to_string(bits_) +
                           "-bit process ";
        std::string file = ReportText(found.shown);
        std::string when = found.tooLate.empty() ? "only" : "first";
        if (found.where == Where::OtherBits) {
            text += "finds " + when + " as a " + std::to_string(found.module->bits) +
                    "-bit file: " + file;
        } else if (found.where == Where::Unusable) {
            text += "finds " + when + " as " + file + ", which is no image it can load";
        } else {
            text += "will not find: not in " + ownFolder_ +
                    ", the system folder, the Windows folder or PATH";
        }
        if (!found.tooLate.empty()) {
            text +=
                ", and the loader stops there: " + ReportText(found.tooLate) + " comes too late";
        }
        if (delayed) {
            text += "; " +
                    (link.delayLoaded == link.name
                         ? "the file"
                         : link.delayLoaded + " is delay-loaded, so the file") +
                    " loads all the same, and fails only when it calls into it";
        }
        Add(delayed ? Outcome::Warn : Outcome::Fail, text);
    }
    void Noted(const Link& link, const Found& found) {
        std::string needs = "needs " + link.name + Through(link.through);
        if (!found.arrivesFrom.empty()) {
            Add(Outcome::Ok,
                needs + ", which arrives at restart from " + ReportText(found.arrivesFrom));
        } else if (found.where == Where::Path) {
            std::wstring folder = found.shown.substr(0, found.shown.find_last_of(L'\\'));
            Add(Outcome::Ok, needs + ", found through PATH in " + ReportText(folder));
        }
    }
    void Manifest(const std::string& owner, const std::vector<AssemblyIdentity>& assemblies) {
        CheckAssemblies(assemblies, owner.empty() ? "its manifest" : "the manifest of " + owner,
                        bits_, findings_);
    }
    void Close() {
        if (!failed_) {
            Add(Outcome::Ok,
                "a " + std::to_string(bits_) + "-bit process finds every module it needs");
        }
    }

  private:
    Findings& findings_;
    int bits_;
    std::string ownFolder_;
    bool failed_ = false;
};

// Everything that depends on a delay-load waits in the second queue.
void Queue(std::deque<Link> (&queues)[2], const Link& from, const ModuleFile& module,
           const std::vector<std::string>& through) {
    for (const std::string& name : module.imports.modules) {
        queues[!from.delayLoaded.empty()].push_back({name, through, from.delayLoaded});
    }
    for (const std::string& name : module.imports.delayLoaded) {
        queues[1].push_back({name, through, from.delayLoaded.empty() ? name : from.delayLoaded});
    }
}

// Follows the whole tree of imports, breadth first, so that a module is
// named through the shortest way to it; everything that does not depend on
// a delay-load is settled first. Modules of the system are not followed.
void FollowImports(DependencyCache& cache, const FileCheckContext& context,
                   const SearchOrder& order, const ModuleFile& file, const std::wstring& fileName,
                   DependencyReport& report) {
    std::set<std::wstring> seen = {Upper(fileName)};
    std::deque<Link> queues[2];
    Queue(queues, Link(), file, {});
    for (int index = 0; index < 2; ++index) {
        while (!queues[index].empty()) {
            Link link = queues[index].front();
            queues[index].pop_front();
            if (!seen.insert(Upper(AnsiToWide(link.name.c_str()))).second) {
                continue;
            }
            Found found = Search(cache, context, order, AnsiToWide(link.name.c_str()));
            if (found.where >= Where::Missing) {
                report.Problem(link, found);
                continue;
            }
            report.Noted(link, found);
            if (found.where == Where::System) {
                continue;
            }
            report.Manifest(link.name, found.module->assemblies);
            std::vector<std::string> through = link.through;
            through.push_back(link.name);
            Queue(queues, link, *found.module, through);
        }
    }
}

// The folder of a full path; name receives the rest.
std::wstring SplitPath(const std::wstring& path, std::wstring* name) {
    size_t slash = path.find_last_of(L"\\/");
    *name = path.substr(slash + 1);
    return path.substr(0, slash);
}

} // namespace

void CheckDependencies(char kind, bool is64Bit, const std::wstring& opened,
                       const std::wstring& located, const FileCheckContext& context,
                       Findings& findings) {
    if (kind != 'D' && kind != 'E') {
        return;
    }
    // Every folder as it lies on disk: each path below is first made the one
    // that the process naming it would reach.
    RedirectionOff redirection(true);
    DependencyCache& cache = CacheOf(context);
    int namedBy = RunsWithRedirectionOff(kind, is64Bit) ? 64 : context.toolBits;
    const ModuleFile& file = ModuleAt(cache, OnDisk(cache, located, namedBy));
    // A DX file of the other bitness is handed on to the 32-bit regsvr32.exe.
    int bits = kind == 'D' && !is64Bit ? context.toolBits : file.bits;
    // The other checks fail a file of the wrong kind or bitness; and 32-bit
    // Windows runs no 64-bit process that could load one.
    if (!file.usable || file.bits != bits || file.isDll != (kind == 'D') ||
        (bits == 64 && !cache.is64BitWindows && sizeof(void*) == 4)) {
        return;
    }
    std::wstring name;
    std::wstring ownFolder = SplitPath(opened, &name);
    DependencyReport report(findings, bits, ownFolder);
    report.Manifest("", file.assemblies);
    FollowImports(cache, context, SearchOrderOf(cache, bits, ownFolder), file, name, report);
    report.Close();
}

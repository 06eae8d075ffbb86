#include "checks/loader/Dependencies.h"

#include "checks/image/ImageFacts.h"
#include "checks/loader/FileCheckContext.h"
#include "checks/loader/SearchOrder.h"
#include "checks/loader/SideBySide.h"
#include "checks/paths/PathNames.h"
#include "checks/paths/Redirection.h"
#include "checks/renames/RestartRenames.h"
#include "pending/Launcher.h"

#include <windows.h>

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
    LoaderFolders machine;
    // By upper-case path as it lies on disk.
    std::map<std::wstring, Place> places;
    std::map<std::wstring, ModuleFile> modules;
};

namespace {

DependencyCache& CacheOf(const FileCheckContext& context) {
    if (!context.dependencies) {
        auto cache = std::make_shared<DependencyCache>();
        cache->machine = ReadLoaderFolders();
        context.dependencies = cache;
    }
    return *context.dependencies;
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

// Where the search for one module ended.
struct Found {
    Where where = Where::Missing;
    // The file, as the loading process names it, and as it lies on disk.
    std::wstring shown;
    std::wstring onDisk;
    // Where its bytes lie now, when a pending rename brings them.
    std::wstring arrivesFrom;
    const ModuleFile* module = nullptr;
    // A file that the process could load, after one that stops the loader.
    std::wstring tooLate;
    // How many folders of the order the loader searched before this one.
    size_t before = 0;
};

// API sets are names that the system maps to its own modules.
bool IsApiSet(const std::wstring& upperName) {
    return upperName.compare(0, 11, L"API-MS-WIN-") == 0 ||
           upperName.compare(0, 11, L"EXT-MS-WIN-") == 0;
}

std::wstring InFolder(const std::wstring& folder, const std::wstring& name) {
    return folder + (folder.back() == L'\\' ? L"" : L"\\") + name;
}

// Looks for one module as the loader does. The loader takes the first file
// of the name, and fails when it is of the other bitness or no image at all,
// whatever lies further on.
Found Search(DependencyCache& cache, const FileCheckContext& context, const SearchOrder& order,
             const std::wstring& name) {
    std::wstring upperName = Upper(name);
    Found first;
    first.before = order.folders.size();
    if (IsApiSet(upperName) || cache.machine.knownDlls.count(upperName) != 0) {
        first.where = Where::System;
        first.before = 0;
        return first;
    }
    for (size_t index = 0; index < order.folders.size(); ++index) {
        Found found;
        found.where = order.folders[index].second;
        found.before = index;
        found.shown = InFolder(order.folders[index].first, name);
        found.onDisk = OnDisk(cache.machine, found.shown, order.bits);
        const Place& place = PlaceAt(cache, context, found.onDisk);
        if (!place.present) {
            continue;
        }
        found.arrivesFrom = place.origin == found.onDisk ? std::wstring() : place.origin;
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

// One module looked for, where the search ended, and in which order.
struct Step {
    Link link;
    Found found;
    const SearchOrder* order;
};

std::string Through(const std::vector<std::string>& chain) {
    std::string text;
    for (const std::string& name : chain) {
        text += (text.empty() ? " (through " : ", then ") + name;
    }
    return text.empty() ? text : text + ")";
}

std::string Why(const SearchOrder& order) {
    return order.why.empty() ? order.why : "; " + order.why;
}

// The findings of one entry's search.
class DependencyReport {
  public:
    DependencyReport(Findings& findings, int bits) : findings_(findings), bits_(bits) {}

    void Slashed(const SearchOrder& order) {
        AddFinding(findings_, FindingCode::PathWithSlashes, {Words(FoldersSaid(order, "and"))});
    }
    void Problem(const Step& step) {
        const Link& link = step.link;
        const Found& found = step.found;
        bool delayed = !link.delayLoaded.empty();
        std::string needs = (link.delayLoaded == link.name ? "delay-loads " : "needs ") +
                            link.name + Through(link.through);
        FindingArgument when = Words(found.tooLate.empty() ? "only" : "first");
        FindingArgument tooLate = Words(
            found.tooLate.empty()
                ? std::string()
                : ", and the loader stops there: " + ReportText(found.tooLate) + " comes too late");
        FindingArgument why = Words(Why(*step.order));
        // What a delay-load brings in fails only when it is called.
        FindingArgument loads = Words(link.delayLoaded == link.name
                                          ? "the file"
                                          : link.delayLoaded + " is delay-loaded, so the file");
        Finding finding;
        if (found.where == Where::OtherBits) {
            finding = MakeFinding(delayed ? FindingCode::DelayedModuleOtherBitness
                                          : FindingCode::ModuleOtherBitness,
                                  {Words(needs), Number(bits_), when, Number(found.module->bits),
                                   Path(found.shown), tooLate, why, loads});
        } else if (found.where == Where::Unusable) {
            finding = MakeFinding(
                delayed ? FindingCode::DelayedModuleUnusable : FindingCode::ModuleUnusable,
                {Words(needs), Number(bits_), when, Path(found.shown), tooLate, why, loads});
        } else {
            finding = MakeFinding(delayed ? FindingCode::DelayedModuleMissing
                                          : FindingCode::ModuleMissing,
                                  {Words(needs), Number(bits_), Words(FoldersSaid(*step.order)),
                                   tooLate, why, loads});
        }
        findings_.push_back(finding);
        missing_ = true;
    }
    void Noted(const Step& step) {
        const Found& found = step.found;
        FindingArgument needs = Words("needs " + step.link.name + Through(step.link.through));
        FindingArgument why = Words(Why(*step.order));
        std::wstring folder = found.shown.substr(0, found.shown.find_last_of(L'\\'));
        if (!found.arrivesFrom.empty()) {
            AddFinding(findings_, FindingCode::ModuleArrivesAtRestart,
                       {needs, Path(found.arrivesFrom), why, About(found.shown)});
        } else if (found.where == Where::Path) {
            AddFinding(findings_, FindingCode::ModuleFoundThroughPath,
                       {needs, Path(folder), why, About(found.shown)});
        } else if (found.where == Where::ProgramFolder) {
            AddFinding(findings_, FindingCode::ModuleInToolFolder,
                       {needs, Path(folder), why, About(found.shown)});
        }
    }
    void Manifest(const std::string& owner, const std::vector<AssemblyIdentity>& assemblies) {
        CheckAssemblies(assemblies, owner.empty() ? "its manifest" : "the manifest of " + owner,
                        bits_, findings_);
    }
    void Close() {
        if (!missing_) {
            AddFinding(findings_, FindingCode::ModulesFound, {Number(bits_)});
        }
    }

  private:
    Findings& findings_;
    int bits_;
    bool missing_ = false;
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
// a delay-load is settled first, so a module that a delay-load names again
// is already loaded. What a delay-load brings is loaded by name, in the
// standard order of the loading process. Modules of the system are not
// followed.
std::vector<Step> FollowImports(DependencyCache& cache, const FileCheckContext& context,
                                const EntrySearch& search, const ModuleFile& file,
                                const std::wstring& fileName) {
    std::vector<Step> steps;
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
            const SearchOrder* order =
                link.delayLoaded.empty() ? &search.imports : &search.delayLoads;
            Found found = Search(cache, context, *order, AnsiToWide(link.name.c_str()));
            steps.push_back({link, found, order});
            if (found.where >= Where::Missing || found.where == Where::System) {
                continue;
            }
            std::vector<std::string> through = link.through;
            through.push_back(link.name);
            Queue(queues, link, *found.module, through);
        }
    }
    return steps;
}

// What one entry's file is looked at with: the file, the process that loads
// it and the orders it searches.
struct Walk {
    const ModuleFile* file = nullptr;
    int bits = 0;
    EntrySearch search;
    std::vector<Step> steps;
};

// False for a file that the other checks fail: of the wrong kind or
// bitness, or one that 32-bit Windows has no 64-bit process to load.
bool WalkImports(char kind, bool is64Bit, const std::wstring& opened, const std::wstring& located,
                 const FileCheckContext& context, Walk& walk) {
    if (kind != 'D' && kind != 'E') {
        return false;
    }
    DependencyCache& cache = CacheOf(context);
    int namedBy = RunsWithRedirectionOff(kind, is64Bit) ? 64 : context.toolBits;
    const ModuleFile& file = ModuleAt(cache, OnDisk(cache.machine, located, namedBy));
    // A DX file of the other bitness is handed on to the 32-bit regsvr32.exe.
    int bits = kind == 'D' && !is64Bit ? context.toolBits : file.bits;
    if (!file.usable || file.bits != bits || file.isDll != (kind == 'D') ||
        (bits == 64 && !cache.machine.is64BitWindows && sizeof(void*) == 4)) {
        return false;
    }
    walk.file = &file;
    walk.bits = bits;
    walk.search = SearchOf(cache.machine, kind, is64Bit, bits, opened, context.toolPath);
    walk.steps = FollowImports(cache, context, walk.search, file, FileNameOf(opened));
    return true;
}

} // namespace

void CheckDependencies(char kind, bool is64Bit, const std::wstring& opened,
                       const std::wstring& located, const FileCheckContext& context,
                       Findings& findings) {
    // Every folder as it lies on disk: each path is first made the one that
    // the process naming it would reach.
    RedirectionOff redirection(true);
    Walk walk;
    if (!WalkImports(kind, is64Bit, opened, located, context, walk)) {
        return;
    }
    DependencyReport report(findings, walk.bits);
    if (walk.search.slashed) {
        report.Slashed(walk.search.imports);
    }
    report.Manifest("", walk.file->assemblies);
    for (const Step& step : walk.steps) {
        if (step.found.where >= Where::Missing) {
            report.Problem(step);
            continue;
        }
        report.Noted(step);
        if (step.found.module != nullptr && step.found.where != Where::System) {
            report.Manifest(step.link.name, step.found.module->assemblies);
        }
    }
    report.Close();
}

bool ModulesLoaded(char kind, bool is64Bit, const std::wstring& opened, const std::wstring& located,
                   const FileCheckContext& context, std::vector<ModuleLoad>* loads) {
    RedirectionOff redirection(true);
    Walk walk;
    if (!WalkImports(kind, is64Bit, opened, located, context, walk)) {
        return false;
    }
    const LoaderFolders& machine = CacheOf(context).machine;
    for (const Step& step : walk.steps) {
        if (step.found.where == Where::System && step.found.shown.empty()) {
            continue;
        }
        ModuleLoad load = {step.link.name, step.found.onDisk, step.found.arrivesFrom, {}};
        for (size_t index = 0; index < step.found.before; ++index) {
            load.searchedFirst.push_back(
                OnDisk(machine, step.order->folders[index].first, walk.bits));
        }
        loads->push_back(load);
    }
    return true;
}

PassFolder PassCurrentFolder(const FileCheckContext& context) {
    const LoaderFolders& machine = CacheOf(context).machine;
    return {machine.currentFolder, machine.safeSearchMode};
}

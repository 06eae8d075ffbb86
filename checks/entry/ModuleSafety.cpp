#include "checks/entry/ModuleSafety.h"

#include "checks/loader/Dependencies.h"
#include "checks/paths/PathNames.h"
#include "checks/paths/Redirection.h"
#include "checks/renames/RestartRenames.h"
#include "checks/trust/Exposure.h"
#include "checks/trust/Placements.h"
#include "checks/trust/Rights.h"
#include "pending/Launcher.h"

#include <map>

// Each object is asked about once per run, however many entries load it.
struct PlacementCache {
    // By the text that names the object, then its path.
    std::map<std::pair<std::string, std::wstring>, Findings> files;
    // By the folder and how it is judged (checks/trust/Rights.h: Securable).
    std::map<std::pair<std::wstring, Securable>, Exposure> folders;
};

namespace {

PlacementCache& CacheOf(const FileCheckContext& context) {
    if (!context.placements) {
        context.placements = std::make_shared<PlacementCache>();
    }
    return *context.placements;
}

// The judgement of one entry's modules, each folder said once.
class ModuleJudge {
  public:
    ModuleJudge(PlacementCache& cache, Findings& findings) : cache_(cache), findings_(findings) {}

    // A folder that another check reports: not said again, but it still
    // decides whether all is safe.
    void Reported(const std::wstring& folder, Securable kind) {
        said_.push_back(folder);
        if (PathExists(folder)) {
            const Exposure& exposure = FolderExposure(folder, kind);
            safe_ &= exposure.error == ERROR_SUCCESS && exposure.changers.empty();
        }
    }
    // A folder that is not there holds no file to load; who may make it is
    // a question about the folder above.
    void Folder(const std::string& what, const std::wstring& folder) {
        if (ContainsPath(said_, folder)) {
            return;
        }
        said_.push_back(folder);
        if (PathExists(folder)) {
            safe_ &= AddExposureFinding(findings_, what, ReportText(folder), Securable::Folder,
                                        FolderExposure(folder, Securable::Folder));
        }
    }
    // The file, and its folder unless that was said already.
    void File(const std::string& what, const std::wstring& file, Placement placement) {
        std::wstring folder = FolderOfPath(file);
        bool judgeFolder = !ContainsPath(said_, folder);
        said_.push_back(folder);
        // what names a staged file differently ("the new version ..."), so
        // the key tells the two placements apart too.
        auto key = std::make_pair(what + (judgeFolder ? "" : " alone"), file);
        auto found = cache_.files.find(key);
        if (found == cache_.files.end()) {
            Findings judged;
            if (judgeFolder) {
                AddPlacementFindings(judged, what, file, placement);
            } else {
                AddExposureFinding(judged, what, ReportText(file), Securable::File,
                                   ExposureOfPath(file, Securable::File));
            }
            found = cache_.files.emplace(key, judged).first;
        }
        safe_ &= found->second.empty();
        findings_.insert(findings_.end(), found->second.begin(), found->second.end());
    }
    bool safe() const {
        return safe_;
    }

  private:
    const Exposure& FolderExposure(const std::wstring& folder, Securable kind) {
        auto key = std::make_pair(folder, kind);
        auto found = cache_.folders.find(key);
        if (found == cache_.folders.end()) {
            found = cache_.folders.emplace(key, ExposureOfPath(folder, kind)).first;
        }
        return found->second;
    }

    PlacementCache& cache_;
    Findings& findings_;
    std::vector<std::wstring> said_;
    bool safe_ = true;
};

// The folders searched before the module, then the module where it lies
// (by its rename's source, when it arrives at restart).
void JudgeModule(ModuleJudge& judge, const ModuleLoad& load) {
    std::string name = load.name;
    std::wstring folder = FolderOfPath(load.lies);
    for (const std::wstring& searched : load.searchedFirst) {
        judge.Folder("the folder " + ReportText(searched) + ", where the loader looks for " +
                         (load.lies.empty() ? "the missing " + name
                                            : name + " before " + ReportText(folder)),
                     searched);
    }
    if (load.lies.empty()) {
        return;
    }
    if (load.arrivesFrom.empty()) {
        judge.File("the module " + ReportText(load.lies), load.lies, Placement::Runs);
        return;
    }
    judge.File("the new version " + ReportText(load.arrivesFrom) + " of the module " + name,
               load.arrivesFrom, Placement::Staged);
    judge.Folder("the folder " + ReportText(folder) + " of the module " + name, folder);
}

} // namespace

Findings CheckModuleSafety(char kind, bool is64Bit, const char* file,
                           const FileCheckContext& context) {
    Findings findings;
    std::wstring opened;
    AfterRestart after;
    {
        // The file as the entry's own program will find it.
        RedirectionOff view(RunsWithRedirectionOff(kind, is64Bit));
        if (!FindOpenedFile(kind, is64Bit, file, context.renames, &opened, &after) ||
            !after.present) {
            return findings;
        }
    }
    std::vector<ModuleLoad> loads;
    if (!ModulesLoaded(kind, is64Bit, opened, after.origin, context, &loads)) {
        return findings;
    }
    // The modules' paths are those on disk.
    RedirectionOff redirection(true);
    ModuleJudge judge(CacheOf(context), findings);
    judge.Reported(FolderOfPath(opened), Securable::Folder);
    if (!SamePath(after.origin, opened)) {
        judge.Reported(FolderOfPath(after.origin), Securable::StagingFolder);
    }
    for (const ModuleLoad& load : loads) {
        JudgeModule(judge, load);
    }
    if (judge.safe()) {
        AddFinding(findings, FindingCode::ModulesSafe, {About(opened)});
    }
    return findings;
}

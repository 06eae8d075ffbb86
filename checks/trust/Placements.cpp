#include "checks/trust/Placements.h"

#include "checks/paths/PathNames.h"
#include "checks/trust/Exposure.h"
#include "checks/trust/Rights.h"

namespace {

// C:\ or \\server\share, with or without a prefix that hands it to the file
// system as written: nothing above it can be swapped.
bool IsVolumeRoot(const std::wstring& written) {
    std::wstring folder;
    if (!WithoutPathPrefix(written, &folder)) {
        return true;
    }
    if (folder.size() <= 3 && folder.size() >= 2 && folder[1] == L':') {
        return true;
    }
    return folder.compare(0, 2, L"\\\\") == 0 && folder.find(L'\\', 2) != std::wstring::npos &&
           folder.find(L'\\', folder.find(L'\\', 2) + 1) == std::wstring::npos;
}

// The folder above, or empty at the root of a volume. Never the folder
// itself nor a longer one, so that a walk up from any path ends.
std::wstring FolderAbove(const std::wstring& folder) {
    std::wstring above = IsVolumeRoot(folder) ? std::wstring() : FolderOfPath(folder);
    return above.size() < folder.size() ? above : std::wstring();
}

} // namespace

bool Placements::Add(Findings& findings, const std::string& named, const std::string& below,
                     const std::wstring& file, Placement placement) {
    bool safe = true;
    if (LiesThere(file)) {
        safe &= AddExposureFinding(findings, named, ReportText(file), Securable::File,
                                   ExposureOfPath(file, Securable::File));
    }
    const Securable ownKind =
        placement == Placement::Staged ? Securable::StagingFolder : Securable::Folder;
    std::wstring folder = FolderOfPath(file);
    for (bool own = true; !folder.empty(); own = false) {
        std::wstring parent = FolderAbove(folder);
        if (!Judged(folder) && LiesThere(folder)) {
            std::string shown = ReportText(folder);
            safe &= AddExposureFinding(
                findings, "the folder " + shown + (own ? " of " : " above ") + below, shown,
                Securable::Folder, ExposureOfFolder(folder, parent, own ? &ownKind : nullptr));
        }
        folder = parent;
    }
    return safe;
}

bool Placements::Judged(const std::wstring& folder) {
    if (ContainsPath(judged_, folder)) {
        return true;
    }
    judged_.push_back(folder);
    return false;
}

bool AddPlacementFindings(Findings& findings, const std::string& what, const std::wstring& file,
                          Placement placement) {
    Placements placements;
    return placements.Add(findings, what, what, file, placement);
}

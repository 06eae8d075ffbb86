#include "checks/Safety.h"

#include "checks/AccessList.h"
#include "checks/EntryFile.h"
#include "checks/Redirection.h"
#include "checks/Trust.h"
#include "pending/Launcher.h"

#include <aclapi.h>

namespace {

// A right that lets a principal change an object, as the report says it.
struct Right {
    ACCESS_MASK mask;
    const char* said;
};

struct Rights {
    std::vector<Right> changing;
    GENERIC_MAPPING mapping;
};

const Rights& RightsOf(Securable kind) {
    static const Rights kFile = {
        {{FILE_WRITE_DATA, "write to it"},
         {FILE_APPEND_DATA, "append to it"},
         {DELETE, "delete it"},
         {WRITE_DAC, "change its permissions"},
         {WRITE_OWNER, "take it over"}},
        {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}};
    static const Rights kFolder = {{{FILE_ADD_FILE, "add files to it"},
                                    {FILE_DELETE_CHILD, "delete files in it"},
                                    {WRITE_DAC, "change its permissions"},
                                    {WRITE_OWNER, "take it over"}},
                                   kFile.mapping};
    // The loader never searches the folder of a staged file: adding files
    // beside it changes nothing, removing or replacing it does.
    static const Rights kStagingFolder = {{{FILE_DELETE_CHILD, "delete files in it"},
                                           {WRITE_DAC, "change its permissions"},
                                           {WRITE_OWNER, "take it over"}},
                                          kFile.mapping};
    static const Rights kKey = {{{KEY_SET_VALUE, "set values in it"},
                                 {KEY_CREATE_SUB_KEY, "create subkeys in it"},
                                 {WRITE_DAC, "change its permissions"},
                                 {WRITE_OWNER, "take it over"}},
                                {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS}};
    switch (kind) {
    case Securable::Key:
        return kKey;
    case Securable::Folder:
        return kFolder;
    case Securable::StagingFolder:
        return kStagingFolder;
    case Securable::File:
        break;
    }
    return kFile;
}

FileSecurityReader& Reader() {
    static FileSecurityReader reader = nullptr;
    return reader;
}

// Whether a file or folder lies at the path, as the reader of descriptors
// sees it.
bool LiesThere(const std::wstring& path) {
    if (FileSecurityReader reader = Reader()) {
        std::vector<BYTE> unused;
        DWORD error = reader(path, &unused);
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    return PathExists(path);
}

const SECURITY_INFORMATION kAskedParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// An object's security descriptor as the platform gives it.
class Descriptor {
  public:
    explicit Descriptor(const std::wstring& path) {
        if (FileSecurityReader reader = Reader()) {
            error_ = reader(path, &bytes_);
            return;
        }
        error_ = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kAskedParts, nullptr, nullptr,
                                       nullptr, nullptr, &local_);
    }
    explicit Descriptor(HKEY key) {
        DWORD size = 0;
        LONG status = RegGetKeySecurity(key, kAskedParts, nullptr, &size);
        bytes_.resize(size);
        if (status == ERROR_INSUFFICIENT_BUFFER) {
            status = RegGetKeySecurity(key, kAskedParts, bytes_.data(), &size);
        }
        error_ = static_cast<DWORD>(status);
    }
    ~Descriptor() {
        LocalFree(local_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    DWORD error() const {
        return error_;
    }
    PSECURITY_DESCRIPTOR get() {
        return local_ != nullptr ? local_ : bytes_.data();
    }

  private:
    DWORD error_ = ERROR_SUCCESS;
    PSECURITY_DESCRIPTOR local_ = nullptr;
    std::vector<BYTE> bytes_;
};

// The principals that the descriptors name and that are not trusted.
std::vector<Sid> Untrusted(const std::vector<PSECURITY_DESCRIPTOR>& descriptors) {
    std::vector<Sid> untrusted;
    for (PSECURITY_DESCRIPTOR descriptor : descriptors) {
        for (Sid& principal : PrincipalsNamed(descriptor)) {
            PSID sid = principal.data();
            if (!ContainsSid(untrusted, sid) && !IsTrusted(sid) && !IsPlaceholder(sid)) {
                untrusted.push_back(principal);
            }
        }
    }
    return untrusted;
}

std::string Said(const Rights& rights, ACCESS_MASK granted) {
    std::string said;
    for (const Right& right : rights.changing) {
        if ((granted & right.mask) != 0) {
            said += (said.empty() ? "" : ", ") + std::string(right.said);
        }
    }
    return said;
}

ACCESS_MASK Changing(const Rights& rights) {
    ACCESS_MASK changing = 0;
    for (const Right& right : rights.changing) {
        changing |= right.mask;
    }
    return changing;
}

// What the entries of one principal let standard users do, said under it.
struct Changer {
    Sid principal;
    ACCESS_MASK granted;
    bool owns;
};

void AddChanger(std::vector<Changer>& changers, const Grant& grant, ACCESS_MASK changing) {
    PSID sid = const_cast<BYTE*>(grant.grantor.data());
    if ((grant.mask & changing) == 0 || IsTrusted(sid) || IsPlaceholder(sid)) {
        return;
    }
    for (Changer& changer : changers) {
        if (EqualSid(changer.principal.data(), sid)) {
            changer.granted |= grant.mask;
            changer.owns |= grant.byOwnership;
            return;
        }
    }
    changers.push_back({grant.grantor, grant.mask, grant.byOwnership});
}

// What a standard user may do to the object, said under the entries that
// grant it; then what a principal that the descriptor names may do beyond
// that, and, for the owner, ownership itself.
Exposure ExposureOf(PSECURITY_DESCRIPTOR descriptor, Securable kind) {
    const Rights& rights = RightsOf(kind);
    ACCESS_MASK changing = Changing(rights);
    std::vector<Changer> changers;
    ACCESS_MASK everyUser = 0;
    for (const Grant& grant : GrantsToStandardUser(descriptor, nullptr, rights.mapping)) {
        everyUser |= grant.mask;
        AddChanger(changers, grant, changing);
    }
    for (Sid& principal : Untrusted({descriptor})) {
        if (EveryStandardUserHolds(principal.data())) {
            continue;
        }
        for (Grant grant : GrantsToStandardUser(descriptor, principal.data(), rights.mapping)) {
            grant.mask &= ~everyUser;
            AddChanger(changers, grant, changing);
        }
    }
    Exposure exposure;
    for (const Changer& changer : changers) {
        std::string said = Said(rights, changer.granted);
        exposure.changers.push_back(NameOfPrincipal(const_cast<BYTE*>(changer.principal.data())) +
                                    (changer.owns ? " owns it" : "") +
                                    (changer.owns && !said.empty() ? " and" : "") +
                                    (said.empty() ? "" : " may " + said));
    }
    return exposure;
}

Exposure Unread(DWORD error) {
    Exposure unread;
    unread.error = error;
    return unread;
}

// Adds the principal of the first grant that holds one of the rights; false
// when none does.
bool AddGrantor(std::vector<Sid>& grantors, const std::vector<Grant>& grants, ACCESS_MASK rights) {
    for (const Grant& grant : grants) {
        if ((grant.mask & rights) == 0) {
            continue;
        }
        if (!ContainsSid(grantors, const_cast<BYTE*>(grant.grantor.data()))) {
            grantors.push_back(grant.grantor);
        }
        return true;
    }
    return false;
}

// The principals whose entries let a standard user's logon that holds the
// principal move the folder away (delete it, or delete in its parent) and
// make a folder of that name in the parent: then what is loaded from below it
// is theirs. None when it may not. Whoever may change an access list may
// grant itself either.
std::vector<Sid> SwappedBy(PSECURITY_DESCRIPTOR folder, PSECURITY_DESCRIPTOR parent,
                           PSID principal) {
    const ACCESS_MASK control = WRITE_DAC | WRITE_OWNER;
    const GENERIC_MAPPING& mapping = RightsOf(Securable::Folder).mapping;
    std::vector<Grant> onFolder = GrantsToStandardUser(folder, principal, mapping);
    std::vector<Grant> onParent = GrantsToStandardUser(parent, principal, mapping);
    std::vector<Sid> grantors;
    bool movesAway = AddGrantor(grantors, onFolder, DELETE | control) ||
                     AddGrantor(grantors, onParent, FILE_DELETE_CHILD | control);
    if (!movesAway || !AddGrantor(grantors, onParent, FILE_ADD_SUBDIRECTORY | control)) {
        grantors.clear();
    }
    return grantors;
}

// "Users", or "Users and Authenticated Users together": a standard user holds
// them all at once.
std::string Together(const std::vector<Sid>& principals) {
    std::string named;
    for (size_t index = 0; index < principals.size(); ++index) {
        named += index == 0 ? "" : index + 1 == principals.size() ? " and " : ", ";
        named += NameOfPrincipal(const_cast<BYTE*>(principals[index].data()));
    }
    return principals.size() > 1 ? named + " together" : named;
}

void AddSwappers(Exposure& exposure, PSECURITY_DESCRIPTOR folder, PSECURITY_DESCRIPTOR parent,
                 const std::wstring& parentPath) {
    const std::string swap = " may move it away and make a folder of its name in ";
    std::vector<Sid> everyUser = SwappedBy(folder, parent, nullptr);
    if (!everyUser.empty()) {
        exposure.changers.push_back(Together(everyUser) + swap + ReportText(parentPath));
        return;
    }
    for (Sid& principal : Untrusted({folder, parent})) {
        if (EveryStandardUserHolds(principal.data())) {
            continue;
        }
        std::vector<Sid> grantors = SwappedBy(folder, parent, principal.data());
        if (!grantors.empty()) {
            exposure.changers.push_back(Together(grantors) + swap + ReportText(parentPath));
        }
    }
}

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

// A folder the file lies in (own: judged as that kind) or below (ownKind
// null): its own rights count only for the folder that holds the file; any
// folder may be swapped.
Exposure FolderExposure(const std::wstring& folder, const std::wstring& parent,
                        const Securable* ownKind) {
    if (ownKind == nullptr && parent.empty()) {
        return Exposure();
    }
    Descriptor mine(folder);
    if (mine.error() != ERROR_SUCCESS) {
        return Unread(mine.error());
    }
    Exposure exposure = ownKind != nullptr ? ExposureOf(mine.get(), *ownKind) : Exposure();
    if (parent.empty()) {
        return exposure;
    }
    Descriptor above(parent);
    if (above.error() != ERROR_SUCCESS) {
        return Unread(above.error());
    }
    AddSwappers(exposure, mine.get(), above.get(), parent);
    return exposure;
}

// Judges files and the folders above them, each folder once however many of
// the files lie below it.
class Placements {
  public:
    // file names the file with its path ("the file C:\d\a.dll"), below names
    // it in the lines of its folders ("the folder C:\d of the file").
    bool Add(Findings& findings, const std::string& named, const std::string& below,
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
                    Securable::Folder, FolderExposure(folder, parent, own ? &ownKind : nullptr));
            }
            folder = parent;
        }
        return safe;
    }

  private:
    // Whether the folder was judged already; it counts as judged from now.
    bool Judged(const std::wstring& folder) {
        if (ContainsPath(judged_, folder)) {
            return true;
        }
        judged_.push_back(folder);
        return false;
    }

    std::vector<std::wstring> judged_;
};

} // namespace

Exposure ExposureOfPath(const std::wstring& path, Securable kind) {
    Descriptor descriptor(path);
    if (descriptor.error() != ERROR_SUCCESS) {
        return Unread(descriptor.error());
    }
    return ExposureOf(descriptor.get(), kind);
}

Exposure ExposureOfKey(HKEY key) {
    Descriptor descriptor(key);
    if (descriptor.error() != ERROR_SUCCESS) {
        return Unread(descriptor.error());
    }
    return ExposureOf(descriptor.get(), Securable::Key);
}

bool AddExposureFinding(Findings& findings, const std::string& what, const std::string& shown,
                        Securable kind, const Exposure& exposure) {
    if (exposure.error != ERROR_SUCCESS) {
        AddFinding(findings, FindingCode::PermissionsUnreadable,
                   {Words(what), Number(exposure.error), About(shown)});
        return false;
    }
    if (exposure.changers.empty()) {
        return true;
    }
    std::string who;
    for (const std::string& changer : exposure.changers) {
        who += (who.empty() ? "" : "; ") + changer;
    }
    FindingCode code = kind == Securable::Key    ? FindingCode::KeyUsersMayChange
                       : kind == Securable::File ? FindingCode::FileUsersMayChange
                                                 : FindingCode::FolderUsersMayChange;
    AddFinding(findings, code, {Words(what), Words(who), About(shown)});
    return false;
}

std::wstring FolderOfPath(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return std::wstring();
    }
    // The folder of C:\a.dll is C:\, not the drive's current folder C:.
    return path.substr(0, slash > 0 && path[slash - 1] == L':' ? slash + 1 : slash);
}

std::wstring FileNameOf(const std::wstring& path) {
    return path.substr(path.find_last_of(L"\\/") + 1);
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AddPlacementFindings(Findings& findings, const std::string& what, const std::wstring& file,
                          Placement placement) {
    Placements placements;
    return placements.Add(findings, what, what, file, placement);
}

void SetFileSecurityReader(FileSecurityReader reader) {
    Reader() = reader;
}

Findings CheckEntrySafety(char kind, bool is64Bit, const char* file,
                          const std::vector<PendingRename>& renames) {
    Findings findings;
    // The files as the entry's own program will find them.
    RedirectionOff view(RunsWithRedirectionOff(kind, is64Bit));
    std::wstring opened;
    AfterRestart after;
    if (!FindOpenedFile(kind, is64Bit, file, renames, &opened, &after) || !after.present) {
        return findings;
    }
    // The file present now runs if its replacement fails; the new version's
    // bytes keep their permissions when they are moved in.
    bool replaced = !SamePath(after.origin, opened);
    Placements placements;
    bool safe = placements.Add(findings, "the file " + ReportText(opened), "the file", opened,
                               Placement::Runs);
    if (replaced) {
        safe &= placements.Add(findings, "the new version " + ReportText(after.origin),
                               "the new version", after.origin, Placement::Staged);
    }
    if (safe) {
        AddFinding(findings, replaced ? FindingCode::NewVersionSafe : FindingCode::FileSafe,
                   {About(opened)});
    }
    return findings;
}

Findings CheckCopySafety(const std::wstring& copy, const std::wstring& lying) {
    Findings findings;
    Placements placements;
    // The bytes that will run, where they lie until the restart, and the
    // place they run from, whose folder the loader searches first.
    bool staged = !SamePath(lying, copy);
    bool safe = placements.Add(findings, "the tool's copy " + ReportText(lying), "the tool's copy",
                               lying, staged ? Placement::Staged : Placement::Runs);
    if (staged) {
        safe &= placements.Add(findings, "the tool's copy " + ReportText(copy), "the tool's copy",
                               copy, Placement::Runs);
    }
    if (safe) {
        AddFinding(findings, FindingCode::CopySafe, {About(copy)});
    }
    return findings;
}

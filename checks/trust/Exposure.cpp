#include "checks/trust/Exposure.h"

#include "checks/paths/PathNames.h"
#include "checks/trust/AccessList.h"
#include "checks/trust/FolderSwaps.h"
#include "checks/trust/Trust.h"

#include <aclapi.h>

namespace {

FileSecurityReader& Reader() {
    static FileSecurityReader reader = nullptr;
    return reader;
}

} // namespace

bool LiesThere(const std::wstring& path) {
    if (FileSecurityReader reader = Reader()) {
        std::vector<BYTE> unused;
        DWORD error = reader(path, &unused);
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    return PathExists(path);
}

namespace {

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

} // namespace

Exposure ExposureOfFolder(const std::wstring& folder, const std::wstring& parent,
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

void SetFileSecurityReader(FileSecurityReader reader) {
    Reader() = reader;
}

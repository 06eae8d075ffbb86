#include "checks/trust/FolderSwaps.h"

#include "checks/trust/AccessList.h"
#include "checks/trust/Rights.h"

namespace {

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

} // namespace

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

std::string Together(const std::vector<Sid>& principals) {
    std::string named;
    for (size_t index = 0; index < principals.size(); ++index) {
        named += index == 0 ? "" : index + 1 == principals.size() ? " and " : ", ";
        named += NameOfPrincipal(const_cast<BYTE*>(principals[index].data()));
    }
    return principals.size() > 1 ? named + " together" : named;
}

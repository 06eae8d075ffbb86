#include "record/Staging.h"

#include "checks/RestartRenames.h"
#include "checks/Safety.h"
#include "record/Record.h"

#include <stdio.h>
#include <wchar.h>

namespace {

// No installer's own file begins so.
const wchar_t kPartialPrefix[] = L"~pendreg-partial-";

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    size_t length = wcslen(prefix);
    return text.size() >= length &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(length), prefix,
                                static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Whether a pending rename moves a file away from the path (or deletes it):
// such a staged copy is still on its way.
bool MovedAtRestart(const std::wstring& path) {
    for (const StoredRename& pair : ReadStoredRenames()) {
        bool ignored;
        if (SamePath(StoredRenamePath(pair.from, &ignored), path)) {
            return true;
        }
    }
    return false;
}

// Whether the pair moves a staged copy beside the target onto it.
bool MovesStagedCopyOnto(const StoredRename& pair, const std::wstring& target) {
    bool ignored;
    std::wstring from = StoredRenamePath(pair.from, &ignored);
    std::wstring to = StoredRenamePath(pair.to, &ignored);
    return !to.empty() && SamePath(to, target) && IsStagedName(FileNameOf(from)) &&
           SamePath(FolderOfPath(from), FolderOfPath(target));
}

} // namespace

const size_t kLongestStagingFolder = MAX_PATH - 14 - (ARRAYSIZE(kPartialPrefix) - 1);

std::wstring PartialNameOf(const std::wstring& staged) {
    return FolderOfPath(staged) + L"\\" + kPartialPrefix + FileNameOf(staged);
}

bool IsStagedName(const std::wstring& name) {
    return StartsWithNoCase(name, L"new") && name.size() > 7 &&
           CompareStringOrdinal(name.c_str() + name.size() - 4, 4, L".tmp", 4, TRUE) == CSTR_EQUAL;
}

void RemoveLeftovers(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\" + kPartialPrefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring partial = folder + L"\\" + found.cFileName;
        std::wstring staged = folder + L"\\" + (found.cFileName + wcslen(kPartialPrefix));
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !DeleteFileW(partial.c_str())) {
            continue;
        }
        Print("removed: %s, left by a replace that was cut short\n", ReportText(partial).c_str());
        if (IsStagedName(FileNameOf(staged)) && !MovedAtRestart(staged) &&
            DeleteFileW(staged.c_str())) {
            Print("removed: %s, the name it held\n", ReportText(staged).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool WithdrawStagedMoves(const std::wstring& target, unsigned* withdrawn) {
    std::vector<StoredRename> taken;
    std::string error;
    auto staged = [](const StoredRename& pair, const void* onto) {
        return MovesStagedCopyOnto(pair, *static_cast<const std::wstring*>(onto));
    };
    if (!TakeOutStoredRenames(staged, &target, &taken, &error)) {
        Complain("the pending renames cannot be written: %s", error.c_str());
        return false;
    }
    *withdrawn = static_cast<unsigned>(taken.size());
    for (const StoredRename& pair : taken) {
        bool ignored;
        std::wstring copy = StoredRenamePath(pair.from, &ignored);
        // A copy already gone is withdrawn all the same.
        bool deleted = DeleteFileW(copy.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
        Print("withdrawn: %s no longer takes the place of %s at restart%s\n",
              ReportText(copy).c_str(), ReportText(target).c_str(),
              deleted ? ", and is deleted" : "; it could not be deleted");
    }
    return true;
}

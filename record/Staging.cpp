#include "record/Staging.h"

#include "checks/paths/PathNames.h"
#include "checks/renames/RestartRenames.h"
#include "record/Record.h"

#include <stdio.h>
#include <wchar.h>

namespace {

// No installer's own file begins so.
const wchar_t kPartialPrefix[] = L"~pendreg-partial-";
const DWORD kCopyChunk = 1 << 20;

// Whether the pair moves (or deletes) the product's staged copy: its source
// is the copy made, or a path where the copy was and nothing else is now.
bool MovesCopy(const StoredRename& pair, const StagedCopy& copy) {
    bool ignored;
    std::wstring from = StoredRenamePath(pair.from, &ignored);
    if (!SameFile(from, copy.staged)) {
        return false;
    }
    FileIdentity lying;
    bool isLink = false;
    return !IdentityOf(from, &lying, &isLink) || (!isLink && lying == copy.stagedId);
}

// Whether the pair moves one of the copies (a std::vector<StagedCopy>).
bool MovesAnyOf(const StoredRename& pair, const void* copies) {
    for (const StagedCopy& copy : *static_cast<const std::vector<StagedCopy>*>(copies)) {
        if (MovesCopy(pair, copy)) {
            return true;
        }
    }
    return false;
}

bool MovedAtRestart(const StagedCopy& copy, const std::vector<StoredRename>& renames) {
    for (const StoredRename& pair : renames) {
        if (MovesCopy(pair, copy)) {
            return true;
        }
    }
    return false;
}

// Copies every byte of source into the file open for writing.
bool CopyInto(const std::wstring& source, HANDLE into) {
    HANDLE from = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (from == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<char> chunk(kCopyChunk);
    bool copied = true;
    for (DWORD read = 0; copied;) {
        copied = ReadFile(from, chunk.data(), kCopyChunk, &read, nullptr) != 0;
        if (!copied || read == 0) {
            break;
        }
        DWORD written = 0;
        copied = WriteFile(into, chunk.data(), read, &written, nullptr) && written == read;
    }
    DWORD error = GetLastError();
    CloseHandle(from);
    SetLastError(error);
    return copied;
}

// Marks the open file to be deleted when its last handle closes, or takes
// the mark off again: a replace killed while it writes the copy leaves
// nothing, since the system closes a killed process's handles.
bool DeleteWhenClosed(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(deleted)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != 0;
}

// A partial copy under a name of its own, beside the target, whose staged
// name is free too; open for writing, to be deleted when closed, and noted
// with its identity before a byte is written. Invalid, complained, when
// none could be made.
HANDLE StartCopy(const Product& product, const std::wstring& target, StagedCopy* copy) {
    std::wstring folder = FolderOfPath(target);
    bool isLink = false;
    if (!IdentityOf(folder, &copy->folderId, &isLink)) {
        Complain("%s: cannot be opened: error %lu", ReportText(folder).c_str(), GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 8);
    DWORD error = ERROR_SUCCESS;
    for (DWORD attempt = 0; attempt < 0x10000; ++attempt) {
        wchar_t name[16];
        swprintf(name, 16, L"new%04lx.tmp", static_cast<unsigned long>((seed + attempt) & 0xffff));
        copy->staged = folder + L"\\" + name;
        if (PathExists(copy->staged)) {
            continue;
        }
        HANDLE file = CreateFileW(PartialNameOf(copy->staged).c_str(), GENERIC_WRITE | DELETE, 0,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && (error = GetLastError()) == ERROR_FILE_EXISTS) {
            continue;
        }
        if (file == INVALID_HANDLE_VALUE) {
            break;
        }
        copy->target = target;
        if (DeleteWhenClosed(file, true) && IdentityOfOpenFile(file, &copy->partialId)) {
            copy->stagedId = copy->partialId;
            if (NoteStaged(product, copy)) {
                return file;
            }
        }
        error = GetLastError();
        DeleteWhenClosed(file, true);
        CloseHandle(file);
        break;
    }
    Complain("%s: cannot make a file there: error %lu", ReportText(folder).c_str(), error);
    return INVALID_HANDLE_VALUE;
}

// Writes the copy, keeps it, and gives it its staged name once complete.
bool FinishCopy(const std::wstring& source, HANDLE file, const StagedCopy& copy) {
    std::wstring partial = PartialNameOf(copy.staged);
    bool copied = CopyInto(source, file);
    DWORD error = GetLastError();
    bool kept = copied && DeleteWhenClosed(file, false);
    if (copied && !kept) {
        error = GetLastError();
    }
    CloseHandle(file);
    if (!kept) {
        Complain("%s: cannot be copied to %s: error %lu", ReportText(source).c_str(),
                 ReportText(copy.staged).c_str(), error);
        return false;
    }
    // Without replacing: a file that took the staged name meanwhile is not
    // the recorder's.
    if (!MoveFileExW(partial.c_str(), copy.staged.c_str(), 0)) {
        Complain("%s: cannot be renamed to %s: error %lu", ReportText(partial).c_str(),
                 ReportText(copy.staged).c_str(), GetLastError());
        return false;
    }
    return true;
}

// Says what became of one file taken back, unless it went as it should.
void SayTakeback(Takeback result, const std::wstring& path, const char* what, DWORD error) {
    if (result == Takeback::NotTheSame) {
        Print("left: %s: it is no longer the %s that replace made\n", ReportText(path).c_str(),
              what);
    } else if (result == Takeback::Failed) {
        Print("left: %s: the %s that replace made cannot be deleted: error %lu\n",
              ReportText(path).c_str(), what, error);
    }
}

} // namespace

const size_t kLongestStagingFolder = MAX_PATH - 14 - (ARRAYSIZE(kPartialPrefix) - 1);

std::wstring PartialNameOf(const std::wstring& staged) {
    return FolderOfPath(staged) + L"\\" + kPartialPrefix + FileNameOf(staged);
}

bool StageNewVersion(const Product& product, const std::wstring& source, const std::wstring& target,
                     StagedCopy* copy) {
    HANDLE file = StartCopy(product, target, copy);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!FinishCopy(source, file, *copy)) {
        TakeBackStaged(product, *copy, true);
        return false;
    }
    return true;
}

void TakeBackStaged(const Product& product, const StagedCopy& copy, bool quiet) {
    DWORD error = ERROR_SUCCESS;
    std::wstring partial = PartialNameOf(copy.staged);
    Takeback partialFate = DeleteIfSame(partial, copy.partialId, false, &error);
    if (partialFate == Takeback::Deleted && !quiet) {
        Print("removed: %s, left by a replace that was cut short\n", ReportText(partial).c_str());
    }
    if (!quiet) {
        SayTakeback(partialFate, partial, "partial copy", error);
    }
    Takeback stagedFate = DeleteIfSame(copy.staged, copy.stagedId, false, &error);
    if (stagedFate == Takeback::Deleted && !quiet) {
        Print("removed: %s, the name it held\n", ReportText(copy.staged).c_str());
    }
    if (!quiet) {
        SayTakeback(stagedFate, copy.staged, "staged copy", error);
    }
    if (partialFate != Takeback::Failed && stagedFate != Takeback::Failed) {
        ForgetStaged(product, copy);
    }
}

void RemoveLeftovers(const Product& product) {
    std::vector<StoredRename> renames = ReadStoredRenames();
    for (const StagedCopy& copy : NotedStaged(product)) {
        if (!MovedAtRestart(copy, renames)) {
            TakeBackStaged(product, copy, false);
        }
    }
}

bool WithdrawStagedMoves(const Product& product, const std::wstring& target, unsigned* withdrawn,
                         const std::vector<std::wstring>* keys) {
    std::vector<StagedCopy> copies;
    for (const StagedCopy& copy : NotedStaged(product)) {
        bool chosen = keys == nullptr;
        for (size_t index = 0; keys != nullptr && index < keys->size(); ++index) {
            chosen = chosen || (*keys)[index] == copy.key;
        }
        if (chosen && (target.empty() || SameFile(copy.target, target))) {
            copies.push_back(copy);
        }
    }
    // Chosen again on the list as it is just before the write: a pair that
    // another process added meanwhile stays.
    std::vector<StagedCopy> moved;
    std::vector<StoredRename> taken;
    std::string error;
    if (!copies.empty() && !TakeOutStoredRenames(MovesAnyOf, &copies, &taken, &error)) {
        Complain("the pending renames cannot be written: %s", error.c_str());
        return false;
    }
    for (const StagedCopy& copy : copies) {
        bool wasMoved = false;
        for (const StoredRename& pair : taken) {
            wasMoved = wasMoved || MovesCopy(pair, copy);
        }
        if (wasMoved) {
            moved.push_back(copy);
        }
    }
    *withdrawn = static_cast<unsigned>(moved.size());
    for (const StagedCopy& copy : moved) {
        DWORD error = ERROR_SUCCESS;
        Takeback fate = DeleteIfSame(copy.staged, copy.stagedId, false, &error);
        Print("withdrawn: %s no longer takes the place of %s at restart%s\n",
              ReportText(copy.staged).c_str(), ReportText(copy.target).c_str(),
              fate == Takeback::Deleted || fate == Takeback::Gone ? ", and is deleted"
                                                                  : "; it is left");
        SayTakeback(fate, copy.staged, "staged copy", error);
        if (fate != Takeback::Failed) {
            ForgetStaged(product, copy);
        }
    }
    return true;
}

#include "checks/paths/FileIdentity.h"

#include "checks/paths/PathNames.h"

#include <vector>

namespace {

// Room for the longest path the platform's wide functions take.
const DWORD kLongPathRoom = 32768;

// A handle that is closed whatever way the function ends.
class OpenedFile {
  public:
    OpenedFile(const std::wstring& path, DWORD access)
        : handle_(CreateFileW(
              path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)),
          error_(handle_ == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS) {}
    ~OpenedFile() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    bool opened() const {
        return handle_ != INVALID_HANDLE_VALUE;
    }
    HANDLE handle() const {
        return handle_;
    }
    DWORD error() const {
        return error_;
    }

  private:
    HANDLE handle_;
    DWORD error_;
};

// Wine follows a Unix symbolic link, and of one to a folder only the path's
// attributes say that it is a reparse point, not those read through a handle.
bool PathIsLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IdentityOfHandle(HANDLE file, FileIdentity* identity, DWORD* attributes) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        return false;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->indexHigh = information.nFileIndexHigh;
    identity->indexLow = information.nFileIndexLow;
    *attributes = information.dwFileAttributes;
    return true;
}

// The file system drops the dots and spaces that end a name: "a.dll." and
// "a.dll " open a.dll. GetFullPathNameW does so for the last part only. The
// drive ("C:") or a share's server and name are left as they are, and so is
// a part of dots alone, "." or "..", which the full path has taken out.
std::wstring WithoutTrailingDotsAndSpaces(const std::wstring& full) {
    std::wstring result;
    int part = 0;
    const int kept = full.compare(0, 2, L"\\\\") == 0 ? 4 : 1;
    size_t start = 0;
    for (size_t at = 0; at <= full.size(); ++at) {
        if (at < full.size() && full[at] != L'\\') {
            continue;
        }
        size_t end = at;
        while (part >= kept && end > start && (full[end - 1] == L'.' || full[end - 1] == L' ')) {
            --end;
        }
        result.append(full, start, end > start ? end - start : at - start);
        result.append(at < full.size() ? 1 : 0, L'\\');
        start = at + 1;
        ++part;
    }
    return result;
}

// The longest part of the path that exists made long, and the rest kept as
// it is written: only what exists has a long name.
std::wstring LongestPartLong(const std::wstring& full) {
    std::vector<wchar_t> buffer(kLongPathRoom);
    std::wstring head = full;
    std::wstring tail;
    for (;;) {
        DWORD length = GetLongPathNameW(head.c_str(), buffer.data(), kLongPathRoom);
        if (length != 0 && length < kLongPathRoom) {
            return std::wstring(buffer.data(), length) + tail;
        }
        size_t slash = head.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash < 3) {
            return full;
        }
        tail = head.substr(slash) + tail;
        head.erase(slash);
    }
}

} // namespace

bool operator==(const FileIdentity& first, const FileIdentity& second) {
    return first.volume == second.volume && first.indexHigh == second.indexHigh &&
           first.indexLow == second.indexLow;
}

bool IdentityOfOpenFile(HANDLE file, FileIdentity* identity) {
    DWORD attributes = 0;
    return IdentityOfHandle(file, identity, &attributes);
}

bool operator!=(const FileIdentity& first, const FileIdentity& second) {
    return !(first == second);
}

bool IdentityOf(const std::wstring& path, FileIdentity* identity, bool* isLink) {
    OpenedFile file(path, FILE_READ_ATTRIBUTES);
    DWORD attributes = 0;
    if (!file.opened() || !IdentityOfHandle(file.handle(), identity, &attributes)) {
        return false;
    }
    *isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || PathIsLink(path);
    return true;
}

std::wstring ComparablePath(const std::wstring& path) {
    std::wstring plain;
    // A device or a volume by its GUID meets only itself.
    if (!WithoutPathPrefix(path, &plain)) {
        return path;
    }
    std::vector<wchar_t> buffer(kLongPathRoom);
    DWORD length = GetFullPathNameW(plain.c_str(), kLongPathRoom, buffer.data(), nullptr);
    if (length == 0 || length >= kLongPathRoom) {
        return plain;
    }
    return LongestPartLong(WithoutTrailingDotsAndSpaces(std::wstring(buffer.data(), length)));
}

bool SameFile(const std::wstring& first, const std::wstring& second) {
    FileIdentity one;
    FileIdentity other;
    bool link = false;
    if (IdentityOf(first, &one, &link) && IdentityOf(second, &other, &link)) {
        return one == other;
    }
    return SamePath(ComparablePath(first), ComparablePath(second));
}

namespace {

// Through the handle, so that it is the file judged that loses it.
bool SetAttributes(HANDLE file, DWORD attributes) {
    FILE_BASIC_INFO basic = {};
    // Times of zero are left as they are; attributes of zero would be too.
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

bool MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

} // namespace

Takeback DeleteIfSame(const std::wstring& path, const FileIdentity& made, bool folder,
                      DWORD* error) {
    *error = ERROR_SUCCESS;
    OpenedFile file(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (!file.opened()) {
        *error = file.error();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? Takeback::Gone
                                                                                : Takeback::Failed;
    }
    FileIdentity found;
    DWORD attributes = 0;
    if (!IdentityOfHandle(file.handle(), &found, &attributes)) {
        *error = GetLastError();
        return Takeback::Failed;
    }
    bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || PathIsLink(path);
    if (link || isFolder != folder || found != made) {
        return Takeback::NotTheSame;
    }
    bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetAttributes(file.handle(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        *error = GetLastError();
        return Takeback::Failed;
    }
    if (!MarkForDeletion(file.handle())) {
        *error = GetLastError();
        // It stays, as it was made.
        if (readOnly) {
            SetAttributes(file.handle(), attributes);
        }
        return Takeback::Failed;
    }
    return Takeback::Deleted;
}

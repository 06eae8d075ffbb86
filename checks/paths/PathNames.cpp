#include "checks/paths/PathNames.h"

#include <windows.h>

#include <wctype.h>

bool IsFullPath(const std::wstring& path) {
    auto separator = [](wchar_t unit) { return unit == L'\\' || unit == L'/'; };
    bool drive = path.size() >= 3 && ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') &&
                 path[1] == L':' && separator(path[2]);
    bool unc = path.size() >= 2 && separator(path[0]) && separator(path[1]);
    return drive || unc;
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

bool WithoutPathPrefix(const std::wstring& path, std::wstring* plain) {
    auto separator = [](wchar_t unit) { return unit == L'\\' || unit == L'/'; };
    if (path.size() < 4 || !separator(path[0]) || !separator(path[1]) ||
        (path[2] != L'?' && path[2] != L'.') || !separator(path[3])) {
        *plain = path;
        return true;
    }
    std::wstring rest = path.substr(4);
    bool drive = rest.size() >= 2 && iswalpha(rest[0]) && rest[1] == L':' &&
                 (rest.size() == 2 || separator(rest[2]));
    if (drive) {
        *plain = rest;
        return true;
    }
    if (path[2] == L'?' && rest.size() > 4 &&
        CompareStringOrdinal(rest.c_str(), 3, L"UNC", 3, TRUE) == CSTR_EQUAL &&
        separator(rest[3])) {
        *plain = L"\\\\" + rest.substr(4);
        return true;
    }
    return false;
}

namespace {

// The path without its prefix, or as it is when it cannot lose it: such a
// path then meets only itself.
std::wstring Plain(const std::wstring& path) {
    std::wstring plain;
    return WithoutPathPrefix(path, &plain) ? plain : path;
}

} // namespace

bool SamePath(const std::wstring& first, const std::wstring& second) {
    return CompareStringOrdinal(Plain(first).c_str(), -1, Plain(second).c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

bool ContainsPath(const std::vector<std::wstring>& paths, const std::wstring& path) {
    for (const std::wstring& one : paths) {
        if (SamePath(one, path)) {
            return true;
        }
    }
    return false;
}

bool Below(const std::wstring& written, const std::wstring& writtenFolder, std::wstring* rest) {
    std::wstring path = Plain(written);
    std::wstring folder = Plain(writtenFolder);
    size_t length = folder.size();
    if (length == 0 || path.size() < length ||
        CompareStringOrdinal(path.c_str(), static_cast<int>(length), folder.c_str(),
                             static_cast<int>(length), TRUE) != CSTR_EQUAL ||
        (path.size() > length && path[length] != L'\\')) {
        return false;
    }
    *rest = path.substr(length);
    return true;
}

// The recorder's paths as the pass will read them: made full, and held in
// the ANSI code page (or by their short form), refused when the conversion
// would change them.
#include "record/Record.h"

#include "main/PathBuffer.h"

namespace {

// Asks a path function that fills a buffer and returns the size it needs.
template <typename Call> std::wstring AskPath(Call call) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = call(&path[0], static_cast<DWORD>(path.size()));
    if (length >= path.size()) {
        path.resize(length);
        length = call(&path[0], static_cast<DWORD>(path.size()));
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

} // namespace

std::wstring FullPath(const std::wstring& path) {
    std::wstring full = AskPath([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) {
        Complain("%s: not a path", ReportText(path).c_str());
    }
    return full;
}

bool StorablePath(const std::wstring& operand, std::string* stored) {
    std::wstring full = FullPath(operand);
    if (full.empty()) {
        return false;
    }
    if (!ToAnsi(full, stored)) {
        // The short form exists only for a file that is there now.
        std::wstring shortPath = AskPath([&](wchar_t* buffer, DWORD size) {
            return GetShortPathNameW(full.c_str(), buffer, size);
        });
        if (shortPath.empty() || !ToAnsi(shortPath, stored)) {
            Complain("%s: cannot be stored: the ANSI code page cannot hold its path, and it has "
                     "no short form that it can hold",
                     ReportText(full).c_str());
            return false;
        }
    }
    if (stored->size() >= static_cast<size_t>(kPathBufferSize)) {
        Complain("%s: cannot be stored: its path has %u bytes, and the pass reads at most %d",
                 stored->c_str(), static_cast<unsigned>(stored->size()), kPathBufferSize - 1);
        return false;
    }
    return true;
}

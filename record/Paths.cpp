// Where the recorder's Unicode arguments meet the pass's ANSI contract: paths
// and names are converted here, once, and refused when the conversion would
// change them.
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

bool ToAnsi(const std::wstring& text, std::string* ansi) {
    if (!AnsiHolds(text)) {
        return false;
    }
    int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    ansi->assign(static_cast<size_t>(length), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &(*ansi)[0],
                            length, nullptr, nullptr);
    }
    return true;
}

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

std::wstring ToolBesideRecorder() {
    // The longest path there is: GetModuleFileNameW does not say how much
    // room a cut one needed.
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, &own[0], static_cast<DWORD>(own.size())));
    return own.substr(0, own.find_last_of(L'\\') + 1) + L"pendreg.exe";
}

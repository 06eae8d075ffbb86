// Where the recorder's Unicode arguments meet the pass's ANSI contract: paths
// and names are converted here, once, and refused when the conversion would
// change them.
#include "record/Record.h"

#include "main/PathBuffer.h"

namespace {

// Converts with the code page's own mapping. In a UTF-8 code page the
// best-fit flag is not allowed, and no character is lost anyway.
std::string Narrow(const std::wstring& text, DWORD flags) {
    if (GetACP() == CP_UTF8) {
        flags = 0;
    }
    int length = WideCharToMultiByte(CP_ACP, flags, text.c_str(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, flags, text.c_str(), static_cast<int>(text.size()), &narrow[0],
                            length, nullptr, nullptr);
    }
    return narrow;
}

std::wstring Widen(const std::string& text) {
    int length =
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0],
                            length);
    }
    return wide;
}

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

std::string Shown(const std::wstring& text) {
    return Narrow(text, WC_NO_BEST_FIT_CHARS);
}

bool ToAnsi(const std::wstring& text, std::string* ansi) {
    // A best-fit mapping would turn a character into a look-alike, and so a
    // path into another one: only a conversion that comes back whole counts.
    *ansi = Narrow(text, WC_NO_BEST_FIT_CHARS);
    return Widen(*ansi) == text && ansi->find('\0') == std::string::npos;
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring full = AskPath([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) {
        Complain("%s: not a path", Shown(path).c_str());
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
                     Shown(full).c_str());
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

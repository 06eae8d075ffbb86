#include "checks/text/Text.h"

#include <windows.h>

#include <stdio.h>

std::wstring AnsiToWide(const char* text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

// The bytes of one character in the ANSI code page; false when it cannot
// hold it exactly (no best-fit stand-in).
static bool AnsiCharacter(wchar_t unit, std::string* bytes) {
    char converted[8];
    BOOL defaulted = FALSE;
    int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &unit, 1, converted,
                                     sizeof(converted), nullptr, &defaulted);
    if (length <= 0 || defaulted) {
        return false;
    }
    bytes->assign(converted, static_cast<size_t>(length));
    return true;
}

std::string ReportText(const std::wstring& text) {
    std::string shown;
    for (wchar_t unit : text) {
        std::string bytes;
        if (AnsiCharacter(unit, &bytes)) {
            shown += bytes;
        } else {
            char escaped[16];
            snprintf(escaped, sizeof(escaped), "<U+%04X>", static_cast<unsigned>(unit));
            shown += escaped;
        }
    }
    return shown;
}

bool AnsiHolds(const std::wstring& text) {
    std::string bytes;
    for (wchar_t unit : text) {
        if (!AnsiCharacter(unit, &bytes)) {
            return false;
        }
    }
    return true;
}

bool SameName(const std::wstring& first, const std::wstring& second) {
    return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

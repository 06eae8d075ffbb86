#pragma once
// Text as the tool and the reports hold it: the ANSI code page's bytes, the
// report's spelling of what that code page cannot hold, and names compared
// as the system compares them.
#include <string>

// Text in the ANSI code page, as the tool reads it, in UTF-16.
std::wstring AnsiToWide(const char* text);

// The text for a report written in the ANSI code page, with every character
// that the code page cannot hold written as <U+XXXX>.
std::string ReportText(const std::wstring& text);

// Whether two names are the same as the system compares the names of files,
// keys and values: without regard to case, character by character.
bool SameName(const std::wstring& first, const std::wstring& second);

// Whether the ANSI code page holds every character of the text.
bool AnsiHolds(const std::wstring& text);

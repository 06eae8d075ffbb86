#pragma once
// What a check found: each finding is a verdict and one line of text in the
// user's terms. Checks return their findings instead of printing them, so
// that each companion reports them its own way, or refuses what failed.
#include <string>
#include <vector>

enum class Outcome { Ok, Fail, Warn };

struct Finding {
    Outcome outcome;
    std::string text;
    // About what the file needs rather than the file itself (a module it
    // imports): the inspector counts it like any other, while the recorder
    // prints it and records the file all the same, since an installer often
    // records a component before it installs the run-time library that the
    // component needs in the same run.
    bool advisory = false;
};

using Findings = std::vector<Finding>;

// Adds a finding whose text is formatted as by printf.
void AddFinding(Findings& findings, Outcome outcome, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

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

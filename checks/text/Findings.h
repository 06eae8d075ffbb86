#pragma once
// What a check found: each finding has a code of the catalogue, whose
// outcome and words are the catalogue's, and what it is about. Checks return
// their findings instead of printing them, so that each companion reports
// them its own way, or refuses what failed.
#include <string>
#include <vector>
#include "checks/text/Catalogue.h"

using Findings = std::vector<Finding>;

void AddFinding(Findings& findings, FindingCode code,
                std::initializer_list<FindingArgument> arguments = {});

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

#pragma once

#include <windows.h>

// Adds a rename line to the text of an initialisation file, held in place:
// text has room for size + 10 + lineLength bytes, and text[size] reads as 0.
// The line goes at the end of the first "[Rename]\r\n" section, that is right
// before the next line that begins with "["; where there is no such header,
// "[Rename]\r\n" and the line are appended right after the last byte.
// Returns the new length of the text.
DWORD AddRenameLine(char* text, DWORD size, const char* line, DWORD lineLength);

// Finds the first place in the NUL-terminated haystack where the needle
// occurs, compared without regard to case by the user's locale. Matches start
// only on character boundaries of the ANSI code page. The haystack must be
// writable: each candidate is cut off in place for the comparison and then
// restored. Null when there is no match.
char* FindNoCase(char* haystack, const char* needle);

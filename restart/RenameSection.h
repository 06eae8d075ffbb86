#pragma once

#include <windows.h>

// Adds a rename line (lineLength > 0) to the text of an initialisation file,
// held in place: text has room for size + 12 + lineLength bytes, and
// text[size] reads as 0; the searches end at the first 0 byte.
// The rename section's header is "[Rename]" (in any case) at the start of a
// line, ended by CR LF, by LF alone or by the end of the text; the first such
// line counts. The line goes at the end of that section, right before the
// next line that begins with "["; where there is no header, "[Rename]\r\n"
// and the line are appended. Appended text starts a line of its own: after a
// last byte that is not a line feed, "\r\n" comes first.
// Returns the new length of the text.
DWORD AddRenameLine(char* text, DWORD size, const char* line, DWORD lineLength);

// Finds the first place in the NUL-terminated haystack where the needle
// occurs, compared without regard to case by the user's locale. Matches start
// only on character boundaries of the ANSI code page. The haystack must be
// writable: each candidate is cut off in place for the comparison and then
// restored. Null when there is no match.
char* FindNoCase(char* haystack, const char* needle);

#include "restart/RenameSection.h"

static const char kRenameHeader[] = "[Rename]\r\n";
static const DWORD kRenameHeaderLength = sizeof(kRenameHeader) - 1;
// The section name as it starts a line; the name alone is the rest of it.
static const char kLineStartName[] = "\n[Rename]";
static const DWORD kNameLength = sizeof(kLineStartName) - 2;

char* FindNoCase(char* haystack, const char* needle) {
    int needleLength = lstrlenA(needle);
    // The rest of the haystack is measured once and then kept up to date, so
    // that a long file costs a single pass.
    int rest = lstrlenA(haystack);
    char* candidate = haystack;
    while (rest >= needleLength) {
        char saved = candidate[needleLength];
        candidate[needleLength] = '\0';
        int order = lstrcmpiA(candidate, needle);
        candidate[needleLength] = saved;
        if (order == 0) {
            return candidate;
        }
        char* next = CharNextA(candidate);
        rest -= static_cast<int>(next - candidate);
        candidate = next;
    }
    return nullptr;
}

// Moves count bytes up by distance. The ranges overlap, so the last byte goes
// first.
static void MoveBytesUp(char* bytes, DWORD count, DWORD distance) {
    while (count != 0) {
        --count;
        bytes[count + distance] = bytes[count];
    }
}

static void CopyBytes(char* target, const char* source, DWORD count) {
    for (DWORD index = 0; index != count; ++index) {
        target[index] = source[index];
    }
}

// Finds the header line of the rename section: "[Rename]" at the start of a
// line, ended by CR LF, by LF alone, or by the end of the text (after a CR or
// not), the forms the file's reader takes for a header. The name elsewhere in
// a line, or followed by anything else, is passed by. Returns where the
// header line ends (its line feed, or the end of the text), or null.
static char* FindHeaderLineEnd(char* text, char* end) {
    // Only the first search may match within a line; later ones look for
    // line starts alone, so that names within lines cost no extra passes.
    char* name = FindNoCase(text, kLineStartName + 1);
    while (name != nullptr) {
        char* lineEnd = name + kNameLength;
        if (*lineEnd == '\r') {
            ++lineEnd;
        }
        if ((name == text || name[-1] == '\n') && (*lineEnd == '\n' || lineEnd == end)) {
            return lineEnd;
        }
        name = FindNoCase(name, kLineStartName);
        if (name != nullptr) {
            ++name;
        }
    }
    return nullptr;
}

DWORD AddRenameLine(char* text, DWORD size, const char* line, DWORD lineLength) {
    char* end = text + size;
    char* headerLineEnd = FindHeaderLineEnd(text, end);
    // Searching from the header's own line end also finds a section header
    // that follows it directly.
    char* nextSection = headerLineEnd == nullptr ? nullptr : FindNoCase(headerLineEnd, "\n[");
    char* position;
    if (nextSection != nullptr) {
        position = nextSection + 1;
        MoveBytesUp(position, static_cast<DWORD>(end - position), lineLength);
    } else {
        // Whatever is appended starts a line of its own, or it would be read
        // as part of the last line.
        if (size != 0 && end[-1] != '\n') {
            *end++ = '\r';
            *end++ = '\n';
        }
        if (headerLineEnd == nullptr) {
            // Its terminator lands where the line then goes.
            lstrcpyA(end, kRenameHeader);
            end += kRenameHeaderLength;
        }
        position = end;
    }
    CopyBytes(position, line, lineLength);
    return static_cast<DWORD>(end - text) + lineLength;
}

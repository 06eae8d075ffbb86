#include "restart/RenameSection.h"

static const char kRenameHeader[] = "[Rename]\r\n";
static const DWORD kRenameHeaderLength = sizeof(kRenameHeader) - 1;

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

DWORD AddRenameLine(char* text, DWORD size, const char* line, DWORD lineLength) {
    DWORD position = size;
    char* header = FindNoCase(text, kRenameHeader);
    if (header == nullptr) {
        lstrcpyA(text + size, kRenameHeader);
        size += kRenameHeaderLength;
        position = size;
    } else {
        // Searching from the header's own line feed also finds a section
        // header that follows it directly.
        char* nextSection = FindNoCase(header + kRenameHeaderLength - 1, "\n[");
        if (nextSection != nullptr) {
            position = static_cast<DWORD>(nextSection + 1 - text);
            MoveBytesUp(text + position, size - position, lineLength);
        }
    }
    CopyBytes(text + position, line, lineLength);
    return size + lineLength;
}

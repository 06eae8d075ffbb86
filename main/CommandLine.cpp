#include "main/CommandLine.h"

#include <windows.h>

// Skips the program name and the character that ended it. The name is walked
// by characters so that a trail byte of a double-byte character is never taken
// for the end character.
static const char* SkipProgramName(const char* cursor) {
    char end = ' ';
    if (*cursor == '"') {
        end = '"';
        ++cursor;
    }
    while (*cursor != end && *cursor != '\0') {
        cursor = CharNextA(cursor);
    }
    return CharNextA(cursor); // stays put on the terminator
}

ToolCommand ScanCommandLine(const char* commandLine) {
    ToolCommand command;
    command.hasSwitch = false;
    command.letter = '\0';
    command.path = nullptr;

    const char* cursor = SkipProgramName(commandLine);
    while (*cursor == ' ') {
        ++cursor;
    }
    if (*cursor != '/') {
        return command;
    }
    command.hasSwitch = true;
    command.letter = cursor[1];
    command.path = command.letter == '\0' ? cursor + 1 : cursor + 2;
    return command;
}

#pragma once

#include "main/PathBuffer.h"

// Runs one pending entry as a process of its own and waits for it to end.
// Returns at once, starting nothing, for an empty path or a kind letter other
// than "D" (in-process server DLL), "E" (executable server) or "T" (type
// library). is64Bit is the entry's 64-bit marker.
void RegisterEntry(char kind, const char* file, bool is64Bit);

// Whether RegisterEntry starts anything for an entry, and if not, why.
enum EntryFilter { kEntryRuns, kEntryEmptyFile, kEntryUnknownKind };
inline EntryFilter FilterEntry(char kind, const char* file) {
    if (file[0] == '\0') {
        return kEntryEmptyFile;
    }
    if (kind != 'D' && kind != 'E' && kind != 'T') {
        return kEntryUnknownKind;
    }
    return kEntryRuns;
}

// Whether the entry's program runs with file-system redirection off: the
// 64-bit regsvr32.exe of a marked D or T entry, which sees the system folder
// itself. A 32-bit process on 64-bit Windows otherwise sees the 32-bit one.
inline bool RunsWithRedirectionOff(char kind, bool is64Bit) {
    return is64Bit && kind != 'E';
}

// Builds the command line for the entry, starts it and waits without time-out:
//   E            "file" /regserver
//   D, T marked  "<system dir>\regsvr32.exe" /s "file", redirection off around it
//   D, T         "<own path>" /<kind><file>, the tool itself in child mode
// Starts nothing when a path or the command line does not fit its buffer.
// For a marked entry, redirection is switched on again once the child has
// ended or could not be created.
void LaunchRegistration(char kind, const char* file, bool is64Bit);

// Formats the command line of an entry that passes FilterEntry into
// commandLine (kPathBufferSize bytes). path is the system directory for a
// marked D or T entry, the tool's own path for an unmarked one, and unused for
// E. False when the line would not fit whole: a cut line would name another
// program or file, so such an entry is never started.
bool FormatCommandLine(char kind, const char* file, bool is64Bit, const char* path,
                       char* commandLine);
// The longest command line that FormatCommandLine builds: characters (bytes in
// the ANSI code page), the terminator not counted.
const int kLongestCommandLine = kPathBufferSize - 1;

// Switches file-system redirection of this thread off (false) or on (true),
// where the platform has the switch; elsewhere it does nothing.
void SetFsRedirection(bool enabled);

// Fills path (kPathBufferSize bytes) with the full path of the tool's own
// image. False when that fails or the path does not fit whole.
bool GetOwnPath(char* path);

// Fills path (kPathBufferSize bytes) with the system directory, as this
// process sees it. False when that fails or the path does not fit whole.
bool GetSystemPath(char* path);

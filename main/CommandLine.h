#pragma once

// What the tool was asked to do, as found in its raw command line.
struct ToolCommand {
    bool hasSwitch;   // the first argument begins with "/"
    char letter;      // the byte after the "/" (NUL when the line ends there)
    const char* path; // everything after the letter, in place in the command line
};

// Scans the command line the way the tool and its own child processes agree on:
// the program name (quoted or up to the first space), one end character, any
// number of spaces, then the first argument. Only spaces (0x20) separate; the
// path after the letter is taken verbatim, spaces and quotes included.
ToolCommand ScanCommandLine(const char* commandLine);

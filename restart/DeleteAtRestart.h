#pragma once

// Asks the system to delete the file at the next restart: by the delayed move
// where the platform has it and accepts the request, otherwise through the
// "[Rename]" section of "wininit.ini" (DeleteFileThroughInitFile). Silent.
void DeleteFileAtRestart(const char* path);

// The initialisation-file route on its own: adds "NUL=<short path>\r\n" to
// the rename section of "wininit.ini" in the Windows directory, creating the
// file or the section as needed. Writes nothing, and leaves the file as it
// was, when the short path, the line or the file's path does not fit its
// buffer, or the file cannot be opened, sized or mapped.
void DeleteFileThroughInitFile(const char* path);

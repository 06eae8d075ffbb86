#pragma once
// Judges the file that an entry will register, as the process that registers
// it will find it: the file the loader or process creation really opens,
// named by a full path, present when the pass runs (now, or put in place by
// the restart's renames), and of the kind and bitness that the entry says.
#include "checks/loader/FileCheckContext.h"
#include "checks/renames/RestartRenames.h"
#include "checks/text/Findings.h"

#include <string>
#include <vector>

// The file that registering an entry will open. The loader adds ".dll" to a
// DLL's name that has no extension (a name that ends in a dot has none);
// process creation takes a server's name as written when that file will be
// there, and adds ".exe" otherwise. A type library is opened as written.
std::wstring FileThatRegisters(char kind, bool is64Bit, const std::wstring& file,
                               const std::vector<PendingRename>& renames);

// The file that registering an entry will open, named plainly (without a
// "\\?\" or "\\.\" prefix), and what the restart leaves of it, in the file
// system view that is in force. False for a path that names no file by itself
// (a device, a volume, a path that is not full), which CheckEntryFile fails.
bool FindOpenedFile(char kind, bool is64Bit, const char* file,
                    const std::vector<PendingRename>& renames, std::wstring* opened,
                    AfterRestart* after);

// kind, is64Bit and file as the pass reads them from the entry; the file in
// the ANSI code page. A marked D or T entry's file is read with file-system
// redirection off, as its 64-bit regsvr32.exe reads it, every other with it
// on, as the tool's own processes read it.
Findings CheckEntryFile(char kind, bool is64Bit, const char* file, const FileCheckContext& context);

#pragma once
// What a companion prints, also appended to a file (--log=FILE): an
// installer's engine runs it without a console, where nothing printed is
// seen. Each run adds its command line and the time, every line it prints,
// and its exit code.
// A new log is made with kOutputLogList.
#include "companion/TrustedLists.h"

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

// Opens the file for appending, made with kOutputLogList, and writes the
// run's first line. An existing file is appended to only when no one but the
// system and the administrators may change it, and it is neither a link nor
// a file of several names; the file is never the running program or one of
// reserved (compared as files, however spelt). False, with the reason in
// error, when it is not opened: the run goes on without a log.
bool OpenOutputLog(const std::wstring& path, const std::vector<std::wstring>& reserved,
                   std::string* error);

// The open log's path, for a child that appends to it too; empty when none.
const std::wstring& OutputLogPath();

// Writes the text to the stream and, when a log is open, to the log.
void Emit(FILE* stream, const char* text);
// The same for a format and its arguments.
void EmitList(FILE* stream, const char* format, va_list arguments);
void EmitFormat(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the run's last line, with its exit code, and closes the log.
void CloseOutputLog(int exitCode);

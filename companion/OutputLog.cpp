#include "companion/OutputLog.h"

#include "checks/paths/FileIdentity.h"
#include "checks/text/Findings.h"
#include "checks/trust/Exposure.h"

#include <windows.h>

#include <sddl.h>
#include <wchar.h>

namespace {

HANDLE log = INVALID_HANDLE_VALUE;
std::wstring logPath;

// Lines as Windows ends them, whatever the text says.
void WriteToLog(const char* text) {
    std::string lines;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '\n' && (at == text || at[-1] != '\r')) {
            lines += '\r';
        }
        lines += *at;
    }
    DWORD written = 0;
    WriteFile(log, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}

void WriteFormatToLog(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    WriteToLog(text);
}

// The file that a log must never be, as the reason says it; empty when it is
// none of them. Appending to the recorders' lock would hold it against the
// recorder's own turn, and to the program would damage it.
std::string ReservedAs(const std::wstring& path, const std::vector<std::wstring>& reserved) {
    std::wstring program(32768, L'\0');
    program.resize(GetModuleFileNameW(nullptr, &program[0], static_cast<DWORD>(program.size())));
    if (!program.empty() && SameFile(path, program)) {
        return "it is this program";
    }
    for (const std::wstring& one : reserved) {
        if (SameFile(path, one)) {
            return "it is " + ReportText(one);
        }
    }
    return std::string();
}

// Why the file that was there already must not take a log that runs with an
// administrator's rights; empty when it may. A file that users may change
// would tell an administrator what they liked, and a link or another name
// would have the run append to a file elsewhere.
std::string WhyNotAppended(HANDLE file, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        return "cannot be read: error " + std::to_string(GetLastError());
    }
    FileIdentity opened = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                           information.nFileIndexLow};
    FileIdentity there;
    bool link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!IdentityOf(path, &there, &link) || there != opened || link) {
        return "it is a link, or it was replaced while it was opened";
    }
    if (information.nNumberOfLinks > 1) {
        return "the file has other names, in folders that were not judged";
    }
    Findings findings;
    if (AddExposureFinding(findings, "it", ReportText(path), Securable::File,
                           ExposureOfPath(path, Securable::File))) {
        return std::string();
    }
    return FindingText(findings.front());
}

// The file for appending, made anew with the log's list or there already.
HANDLE OpenForAppending(const std::wstring& path, bool* existed, std::string* error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kOutputLogList, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        *error = "cannot make its access list: error " + std::to_string(GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES access = {sizeof(access), descriptor, FALSE};
    // Appends only: nothing that earlier runs wrote can be overwritten.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &access, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD failure = GetLastError();
    LocalFree(descriptor);
    *existed = failure == ERROR_ALREADY_EXISTS;
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot be opened for appending: error " + std::to_string(failure);
    }
    return file;
}

} // namespace

bool OpenOutputLog(const std::wstring& path, const std::vector<std::wstring>& reserved,
                   std::string* error) {
    std::string reservedAs = ReservedAs(path, reserved);
    if (!reservedAs.empty()) {
        *error = "refused: " + reservedAs;
        return false;
    }
    bool existed = false;
    HANDLE file = OpenForAppending(path, &existed, error);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::string why = existed ? WhyNotAppended(file, path) : std::string();
    if (!why.empty()) {
        CloseHandle(file);
        *error = "refused: " + why;
        return false;
    }
    log = file;
    logPath = path;
    SYSTEMTIME now;
    GetLocalTime(&now);
    WriteFormatToLog("--- %04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay,
                     now.wHour, now.wMinute, now.wSecond);
    WriteToLog((ReportText(GetCommandLineW()) + "\n").c_str());
    return true;
}

const std::wstring& OutputLogPath() {
    return logPath;
}

void Emit(FILE* stream, const char* text) {
    fputs(text, stream);
    if (log != INVALID_HANDLE_VALUE) {
        WriteToLog(text);
    }
}

void EmitList(FILE* stream, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    int size = vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
    vsnprintf(&text[0], text.size(), format, arguments);
    text.resize(text.size() - 1);
    Emit(stream, text.c_str());
}

void EmitFormat(FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    EmitList(stream, format, arguments);
    va_end(arguments);
}

void CloseOutputLog(int exitCode) {
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    WriteFormatToLog("--- exit code %d\n", exitCode);
    CloseHandle(log);
    log = INVALID_HANDLE_VALUE;
}

#include "harness/Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>
#include <utility>

namespace harness {

std::string TestProgramPath() {
    char path[MAX_PATH * 4];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, length);
}

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.find_last_of("\\/"));
}

// Built layout: <build>/pendreg.exe, <build>/tests/pendreg_tests.exe and
// <build>/tests/fixtures/.
std::string ToolPath() {
    return FolderOf(FolderOf(TestProgramPath())) + "\\pendreg.exe";
}

std::string InspectorPath() {
    return FolderOf(ToolPath()) + "\\pendreg-inspect.exe";
}

std::string RecorderPath() {
    return FolderOf(ToolPath()) + "\\pendreg-record.exe";
}

std::string SystemDirectory() {
    char path[MAX_PATH];
    return std::string(path, GetSystemDirectoryA(path, sizeof(path)));
}

std::string FixturePath(const char* name) {
    return FolderOf(TestProgramPath()) + "\\fixtures\\" + name;
}

// Waits for a process just created, kills it when the time-out runs out, and
// releases its handles.
static RunResult Await(const PROCESS_INFORMATION& process, DWORD timeoutMs) {
    CloseHandle(process.hThread);
    RunResult result = {true, 0, true, 0};
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 259);
        WaitForSingleObject(process.hProcess, 10000);
        result.finished = false;
    } else {
        GetExitCodeProcess(process.hProcess, &result.exitCode);
    }
    CloseHandle(process.hProcess);
    return result;
}

// Why a program could not be started, where the error number alone does not
// say: Wine reports a new process that ended before any of it ran as an
// internal error, and says why on its own standard error.
static const char* NotStartedBecause(DWORD error) {
    return error == ERROR_INTERNAL_ERROR ? " (the new process ended before any of it ran)" : "";
}

RunResult Run(const std::string& commandLine, const char* application, const char* currentDirectory,
              DWORD timeoutMs, HANDLE output) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(application, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr,
                        currentDirectory, &startup, &process)) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "could not start " << commandLine << ": error " << error
                      << NotStartedBecause(error);
        return {false, error, false, error};
    }
    return Await(process, timeoutMs);
}

DWORD StartWide(std::wstring commandLine, HANDLE output, PROCESS_INFORMATION* process,
                HANDLE token) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    *process = {};
    bool started = token != nullptr
                       ? CreateProcessAsUserW(token, nullptr, &commandLine[0], nullptr, nullptr,
                                              TRUE, 0, nullptr, nullptr, &startup, process)
                       : CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, process);
    if (!started) {
        DWORD error = GetLastError();
        ADD_FAILURE() << "could not start a program: error " << error << NotStartedBecause(error);
        return error;
    }
    return ERROR_SUCCESS;
}

RunResult RunWide(std::wstring commandLine, HANDLE output) {
    PROCESS_INFORMATION process;
    DWORD error = StartWide(commandLine, output, &process);
    if (error != ERROR_SUCCESS) {
        return {false, error, false, error};
    }
    return Await(process, kChildTimeoutMs);
}

bool Output::Has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A program that printed nothing leaves the test's failure message without a
// word of its own: the log says so here, with how the program ended.
static void ReportSilence(const std::wstring& commandLine, const RunResult& run) {
    std::string line(commandLine.size() * 2 + 1, '\0');
    line.resize(WideCharToMultiByte(CP_ACP, 0, commandLine.c_str(),
                                    static_cast<int>(commandLine.size()), &line[0],
                                    static_cast<int>(line.size()), nullptr, nullptr));
    std::cout << "[ harness  ] " << line << "\n    printed nothing and ";
    if (!run.started) {
        std::cout << "never started (error " << run.startError << ")\n";
    } else if (!run.finished) {
        std::cout << "was killed after " << kChildTimeoutMs / 1000 << " s\n";
    } else {
        std::cout << "ended with exit code " << run.exitCode << " (0x" << std::hex << run.exitCode
                  << std::dec << ")\n";
    }
}

Output RunCapturing(const std::wstring& commandLine, const std::string& dir) {
    std::string outputPath = dir + "\\run.out";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE file = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    RunResult run = RunWide(commandLine, file);
    CloseHandle(file);
    Output output;
    output.exitCode = run.finished ? run.exitCode : 259;
    output.text = ReadFile(outputPath);
    RemoveFile(outputPath);
    if (output.text.empty()) {
        ReportSilence(commandLine, run);
    }
    std::istringstream text(output.text);
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        output.lines.push_back(line);
    }
    return output;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                    &wide[0], static_cast<int>(wide.size())));
    return wide;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    &wide[0], static_cast<int>(wide.size())));
    return wide;
}

ScratchFolder::ScratchFolder() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    static LONG serial = 0;
    std::ostringstream name;
    name << temp << "pendreg-" << GetCurrentProcessId() << "-" << InterlockedIncrement(&serial)
         << "-" << GetTickCount();
    path_ = name.str();
    Make();
}

ScratchFolder::ScratchFolder(const std::string& path) : path_(path) {
    Make();
}

void ScratchFolder::Make() {
    made_ = CreateDirectoryA(path_.c_str(), nullptr);
    if (!made_) {
        ADD_FAILURE() << "could not make the scratch folder " << path_ << ": error "
                      << GetLastError();
    }
}

void RemoveFolder(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            std::string child = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolder(child);
            } else {
                RemoveFile(child);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

ScratchFolder::~ScratchFolder() {
    if (made_) {
        RemoveFolder(path_);
    }
}

// Walks the name by characters of the ANSI code page: in a double-byte one,
// the second byte of a character may be that of a backslash.
static std::string MakeParentFolders(const std::string& root, const std::string& name) {
    std::string target = root + "\\" + name;
    for (const char* at = target.c_str() + root.size() + 1; *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\') {
            CreateDirectoryA(target.substr(0, static_cast<size_t>(at - target.c_str())).c_str(),
                             nullptr);
        }
    }
    return target;
}

std::string ScratchFolder::Copy(const std::string& source, const std::string& name) const {
    std::string target = MakeParentFolders(path_, name);
    if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
        ADD_FAILURE() << "could not copy " << source << " to " << target << ": error "
                      << GetLastError();
    }
    return target;
}

std::string ScratchFolder::Write(const std::string& name, const std::string& content) const {
    std::string target = MakeParentFolders(path_, name);
    WriteWholeFile(target, content);
    return target;
}

std::string ReadFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string content(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ::ReadFile(file, &content[0], static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(file);
    content.resize(read);
    return content;
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "could not create " << path << ": error " << GetLastError();
        return;
    }
    DWORD written = 0;
    if (!WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size()) {
        ADD_FAILURE() << "could not write " << path << ": error " << GetLastError();
    }
    CloseHandle(file);
}

void RemoveFile(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

std::string ReplaceAll(std::string text, const std::string& token, const std::string& value) {
    for (size_t at = 0; (at = text.find(token, at)) != std::string::npos; at += value.size()) {
        text.replace(at, token.size(), value);
    }
    return text;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Record::field(const char* key) const {
    auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

RecordLog::RecordLog() : path_(folder_.path() + "\\records.log") {
    SetEnvironmentVariableA("PENDREG_TEST_LOG", path_.c_str());
}

RecordLog::~RecordLog() {
    SetEnvironmentVariableA("PENDREG_TEST_LOG", nullptr);
}

std::vector<Record> RecordLog::Read() const {
    // What the fixtures could not add to the log: a check that something did
    // not run would otherwise pass on a lost record. Said once.
    std::string lost = ReadFile(path_ + ".lost");
    if (!lost.empty() && !lostReported_) {
        lostReported_ = true;
        ADD_FAILURE() << "records the fixtures could not add to the log:\n" << lost;
    }
    std::vector<Record> records;
    std::istringstream lines(ReadFile(path_));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Record record;
        std::istringstream fields(line);
        std::getline(fields, record.event, '\t');
        std::string field;
        while (std::getline(fields, field, '\t')) {
            size_t equals = field.find('=');
            record.fields[field.substr(0, equals)] = field.substr(equals + 1);
        }
        records.push_back(record);
    }
    return records;
}

std::string RecordLog::Text() const {
    std::string text = ReadFile(path_);
    return text.empty() ? "(no records)\n" : text;
}

std::vector<std::string> RecordLog::Events() const {
    std::vector<std::string> events;
    for (const Record& record : Read()) {
        events.push_back(record.event);
    }
    return events;
}

std::string Lower(std::string text) {
    if (!text.empty()) {
        CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
    }
    return text;
}

// The delayed-move list's pairs of source and target, as stored; an empty
// target deletes the source.
static std::vector<std::pair<std::string, std::string>> RestartMoves() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    DWORD type = 0;
    DWORD size = 0;
    std::string list;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        list.resize(size);
        RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(&list[0]), &size);
        list.resize(size);
    }
    RegCloseKey(key);
    std::vector<std::pair<std::string, std::string>> moves;
    for (size_t at = 0; at < list.size();) {
        std::string source = list.c_str() + at;
        at += source.size() + 1;
        if (source.empty() || at >= list.size()) {
            break;
        }
        std::string target = list.c_str() + at;
        at += target.size() + 1;
        moves.emplace_back(source, target);
    }
    return moves;
}

// Whether the stored path names the path: system versions store it with
// "\??\" in front or without.
static bool Names(const std::string& stored, const std::string& path) {
    std::string wanted = Lower(path);
    return Lower(stored) == wanted || Lower(stored) == "\\??\\" + wanted;
}

bool ListedForDeletionAtRestart(const std::string& path) {
    // A move elsewhere also makes the file go at restart, so it does not
    // count.
    for (const auto& move : RestartMoves()) {
        if (move.second.empty() && Names(move.first, path)) {
            return true;
        }
    }
    return false;
}

std::string FateAtRestart(const std::string& path) {
    std::string fate;
    for (const auto& move : RestartMoves()) {
        bool replacing = !move.second.empty() && move.second[0] == '!';
        if (Names(move.first, path)) {
            fate = move.second.empty() ? "deleted" : "moved away";
        } else if (Names(move.second.substr(replacing ? 1 : 0), path)) {
            fate = replacing ? "replaced" : "moved onto";
        }
    }
    return fate;
}

std::vector<std::string> PrintedCommandLines(const std::vector<std::string>& lines) {
    std::vector<std::string> printed;
    for (const std::string& line : lines) {
        size_t runs = line.find("): runs ");
        if (line.compare(0, 8, "  entry ") == 0 && runs != std::string::npos) {
            printed.push_back(line.substr(runs + 8));
        }
    }
    return printed;
}

std::vector<std::string> StartedCommandLines(const RecordLog& log, const std::string& tool) {
    std::vector<std::string> started;
    for (const Record& record : log.Read()) {
        std::string line = record.field("cmdline");
        bool theToolsChild = record.event == "child" && line != "\"" + tool + "\" /S";
        bool regsvr32 = record.event == "register" && Lower(record.field("process")) != Lower(tool);
        if (theToolsChild || regsvr32 || record.event == "exe") {
            started.push_back(line);
        }
    }
    return started;
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void DeleteTree(HKEY root, const std::string& path, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return;
    }
    std::vector<std::string> children;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof(name)) == ERROR_SUCCESS; ++index) {
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& child : children) {
        DeleteTree(root, path + "\\" + child, view);
    }
    RegDeleteKeyExA(root, path.c_str(), view, 0);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ThirtyTwoBitSystemMissing() {
    char folder[MAX_PATH];
    UINT length = GetSystemWow64DirectoryA(folder, MAX_PATH);
    return length != 0 && length < MAX_PATH &&
           GetFileAttributesA((std::string(folder) + "\\kernel32.dll").c_str()) ==
               INVALID_FILE_ATTRIBUTES;
}

bool LeftToTheLane() {
    if (!ThirtyTwoBitSystemMissing()) {
        return false;
    }
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string row = std::string(test->test_suite_name()) + "." + test->name() + "\n";
    std::string list = FolderOf(TestProgramPath()) + "\\" + kLaneRows;
    HANDLE file = CreateFileA(list.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool listed = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, row.data(), DWORD(row.size()), &written, nullptr) &&
                  written == row.size();
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    // A row that cannot be handed on would be skipped in both places.
    EXPECT_TRUE(listed) << "cannot list the row in " << list << ": error " << error;
    return true;
}

bool RestartWine() {
    RunResult result = Run("wineboot.exe -r");
    return result.finished && result.exitCode == 0;
}

} // namespace harness

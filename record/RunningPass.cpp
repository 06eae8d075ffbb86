// Whether a pass is running now: a process of the tool started with "/S". The
// pass reads a work set's "count" before it runs the entries, and deletes the
// work set afterwards, so entries added meanwhile would be deleted unrun.
#include "checks/arming/Arming.h"
#include "record/Record.h"

#include <tlhelp32.h>
#include <winternl.h>

namespace {

// The platform's query of another process; its command line is read from the
// process's own parameters, which every version of the platform keeps.
using QueryProcess = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
const ULONG kBasicInformation = 0;
const ULONG kWow64Information = 26;

template <typename Value> bool ReadAt(HANDLE process, ULONG_PTR address, Value* value) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, reinterpret_cast<const void*>(address), value, sizeof(*value),
                             &read) &&
           read == sizeof(*value);
}

std::wstring ReadText(HANDLE process, ULONG_PTR address, USHORT bytes) {
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    SIZE_T read = 0;
    if (text.empty() || !ReadProcessMemory(process, reinterpret_cast<const void*>(address),
                                           &text[0], bytes, &read)) {
        return std::wstring();
    }
    text.resize(read / sizeof(wchar_t));
    return text;
}

// The command line of a 32-bit process, seen from a 64-bit one: its own
// 32-bit parameters, at the offsets of the 32-bit layout.
std::wstring CommandLineOf32(HANDLE process, ULONG_PTR environment) {
    struct Text32 {
        USHORT length;
        USHORT room;
        ULONG buffer;
    } line;
    ULONG parameters = 0;
    if (!ReadAt(process, environment + 0x10, &parameters) ||
        !ReadAt(process, parameters + 0x40, &line)) {
        return std::wstring();
    }
    return ReadText(process, line.buffer, line.length);
}

std::wstring CommandLineOf(HANDLE process, QueryProcess query) {
    ULONG length = 0;
    ULONG_PTR environment32 = 0;
    if (sizeof(void*) == 8 &&
        query(process, kWow64Information, &environment32, sizeof(environment32), &length) == 0 &&
        environment32 != 0) {
        return CommandLineOf32(process, environment32);
    }
    PROCESS_BASIC_INFORMATION basic;
    ULONG_PTR parameters = 0;
    UNICODE_STRING line;
    if (query(process, kBasicInformation, &basic, sizeof(basic), &length) != 0 ||
        !ReadAt(process,
                reinterpret_cast<ULONG_PTR>(basic.PebBaseAddress) +
                    offsetof(PEB, ProcessParameters),
                &parameters) ||
        !ReadAt(process, parameters + offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine), &line)) {
        return std::wstring();
    }
    return ReadText(process, reinterpret_cast<ULONG_PTR>(line.Buffer), line.Length);
}

bool NamedAsTool(const wchar_t* program, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        if (SameName(program, name)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool FindRunningPass(const std::vector<std::wstring>& toolNames, RunningPass* found) {
    auto query = reinterpret_cast<QueryProcess>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (query == nullptr || snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() ||
            !NamedAsTool(entry.szExeFile, toolNames)) {
            continue;
        }
        HANDLE process =
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        std::wstring commandLine = CommandLineOf(process, query);
        CloseHandle(process);
        if (StartsPass(commandLine)) {
            *found = {entry.th32ProcessID, commandLine};
            running = true;
        }
    }
    CloseHandle(snapshot);
    return running;
}

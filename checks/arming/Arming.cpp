#include "checks/arming/Arming.h"

#include "checks/arming/CopySafety.h"
#include "checks/entry/EntryFile.h"
#include "checks/image/ImageFacts.h"
#include "checks/paths/FileIdentity.h"
#include "checks/paths/PathNames.h"
#include "main/CommandLine.h"

#include <string.h>

const wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

namespace {

// Registry value names have at most 16,383 characters.
const DWORD kValueNameRoom = 16384;

// The program that process creation starts for a command line: the quoted
// name, or the name up to the first space.
std::wstring ProgramOf(const std::wstring& command) {
    if (!command.empty() && command[0] == L'"') {
        size_t close = command.find(L'"', 1);
        return command.substr(1, close == std::wstring::npos ? close : close - 1);
    }
    return command.substr(0, command.find(L' '));
}

bool IsCopyOfTool(const std::wstring& program, const std::wstring& tool,
                  const std::vector<PendingRename>& renames) {
    if (SamePath(FileNameOf(program), FileNameOf(tool))) {
        return true;
    }
    AfterRestart after = FindAfterRestart(renames, program);
    return after.present && SameBytes(after.origin, tool);
}

// A REG_SZ or REG_EXPAND_SZ value as the platform's start-up reads it;
// false for a value of another type.
bool ReadCommand(HKEY key, const wchar_t* name, std::wstring* command) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    *command = text.data();
    if (type == REG_EXPAND_SZ) {
        DWORD length = ExpandEnvironmentStringsW(text.data(), nullptr, 0);
        std::vector<wchar_t> expanded(length + 1, L'\0');
        ExpandEnvironmentStringsW(text.data(), expanded.data(), length);
        *command = expanded.data();
    }
    return true;
}

void AddValuesIn(REGSAM view, int bits, std::vector<ArmingValue>& found) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    std::vector<wchar_t> name(kValueNameRoom);
    for (DWORD index = 0;; ++index) {
        DWORD length = kValueNameRoom;
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        ArmingValue value = {bits, std::wstring(name.data(), length), L"", L""};
        if (ReadCommand(key, value.name.c_str(), &value.command)) {
            found.push_back(value);
        }
    }
    RegCloseKey(key);
}

} // namespace

// The tool's own scanner reads the line as the copy gets it, in the ANSI
// code page.
bool StartsPass(const std::wstring& command) {
    int size = WideCharToMultiByte(CP_ACP, 0, command.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return false;
    }
    std::string line(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, command.c_str(), -1, &line[0], size, nullptr, nullptr);
    ToolCommand scanned = ScanCommandLine(line.c_str());
    return scanned.hasSwitch && scanned.letter == 'S';
}

bool RegistryHasTwoViews() {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

std::vector<ArmingValue> ReadRunOnceValues() {
    std::vector<ArmingValue> values;
    if (RegistryHasTwoViews()) {
        AddValuesIn(KEY_WOW64_64KEY, 64, values);
        AddValuesIn(KEY_WOW64_32KEY, 32, values);
    } else {
        AddValuesIn(0, 32, values);
    }
    return values;
}

bool SameBytes(const std::wstring& first, const std::wstring& second) {
    MappedFile one(first);
    MappedFile other(second);
    return one.view() != nullptr && other.view() != nullptr && one.size() == other.size() &&
           memcmp(one.view(), other.view(), one.size()) == 0;
}

std::vector<ArmingValue> FindArmingValues(const std::wstring& tool,
                                          const std::vector<PendingRename>& renames) {
    std::vector<ArmingValue> found;
    for (ArmingValue& value : ReadRunOnceValues()) {
        if (!StartsPass(value.command)) {
            continue;
        }
        // Process creation adds ".exe" to a name without an extension.
        value.copy = FileThatRegisters('E', false, ProgramOf(value.command), renames);
        if (IsCopyOfTool(value.copy, tool, renames)) {
            found.push_back(value);
        }
    }
    return found;
}

Findings CheckArmedCopy(const std::wstring& copy, const std::vector<PendingRename>& renames,
                        std::wstring* lying) {
    Findings findings;
    lying->clear();
    if (!IsFullPath(copy)) {
        AddFinding(findings, FindingCode::CopyNotAFullPath, {Path(copy)});
        return findings;
    }
    AfterRestart after = FindAfterRestart(renames, copy);
    if (after.leaves) {
        if (after.leftTo.empty()) {
            AddFinding(findings, FindingCode::CopyDeletedAtRestart, {Path(copy)});
        } else {
            AddFinding(findings, FindingCode::CopyMovedAwayAtRestart,
                       {Path(copy), Path(after.leftTo)});
        }
    } else if (!after.present) {
        AddFinding(findings, FindingCode::CopyMissing, {Path(copy)});
    } else {
        *lying = after.origin;
        if (!SameFile(after.origin, copy)) {
            AddFinding(findings, FindingCode::CopyArrivesAtRestart,
                       {Path(copy), Path(after.origin)});
        } else {
            AddFinding(findings, FindingCode::CopyPresent, {Path(copy)});
        }
    }
    return findings;
}

namespace {

std::string FirstFailure(const Findings& findings) {
    for (const Finding& finding : findings) {
        if (Fails(finding.outcome)) {
            return FindingText(finding);
        }
    }
    return std::string();
}

// Why the value's copy does not run the pass as the tool would; empty when
// it does.
std::string WhyNotTaken(const ArmingValue& value, const std::wstring& tool,
                        const std::vector<PendingRename>& renames, std::wstring* lying) {
    Findings there = CheckArmedCopy(value.copy, renames, lying);
    if (lying->empty()) {
        return FirstFailure(there);
    }
    if (!SameBytes(*lying, tool)) {
        return "the tool's copy " + ReportText(value.copy) + " is not the tool: its bytes differ " +
               "from those of " + ReportText(tool);
    }
    return FirstFailure(CheckCopySafety(value.copy, *lying));
}

} // namespace

std::vector<ArmedCopy> JudgeArmedCopies(const std::wstring& tool,
                                        const std::vector<PendingRename>& renames) {
    std::vector<ArmedCopy> judged;
    for (const ArmingValue& value : FindArmingValues(tool, renames)) {
        ArmedCopy copy = {value, L"", ""};
        copy.notTaken = WhyNotTaken(value, tool, renames, &copy.lying);
        judged.push_back(copy);
    }
    return judged;
}

bool FindArmedCopy(const std::vector<ArmedCopy>& judged, ArmedCopy* taken) {
    for (const ArmedCopy& copy : judged) {
        if (copy.notTaken.empty()) {
            *taken = copy;
            return true;
        }
    }
    return false;
}

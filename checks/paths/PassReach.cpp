#include "checks/paths/PassReach.h"

#include "checks/paths/PathNames.h"
#include "checks/text/Findings.h"

#include <windows.h>

#include <stdio.h>

namespace {

bool IsSeparator(wchar_t unit) {
    return unit == L'\\' || unit == L'/';
}

// "N:" as the reports write a drive.
std::string DriveShown(wchar_t letter) {
    return ReportText(std::wstring(1, letter) + L":");
}

// What a drive letter stands for, by QueryDosDevice: a device for a volume
// of the machine, "\??\C:\folder" for a letter substituted for a folder.
// Empty, with the error, when the system cannot say.
std::wstring DeviceOfDrive(wchar_t letter, DWORD* error) {
    wchar_t device[MAX_PATH + 1] = {};
    const wchar_t drive[] = {letter, L':', L'\0'};
    if (QueryDosDeviceW(drive, device, MAX_PATH) == 0) {
        *error = GetLastError();
        return std::wstring();
    }
    return device;
}

// Why the pass may not see the drive; empty for a local fixed drive that
// stands for a volume of the machine.
std::string OnDrive(wchar_t letter) {
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    std::string drive = DriveShown(letter);
    DWORD error = ERROR_SUCCESS;
    std::wstring device = DeviceOfDrive(letter, &error);
    // A letter substituted for a folder (subst, DefineDosDevice) is the
    // installing session's own, whatever drive the folder lies on.
    if (device.compare(0, 4, L"\\??\\") == 0) {
        return "is on a substituted drive (" + drive + " stands for " +
               ReportText(device.substr(4)) + ")";
    }
    switch (GetDriveTypeW(root)) {
    case DRIVE_FIXED:
        if (device.empty()) {
            char reason[160];
            snprintf(reason, sizeof(reason),
                     "is on drive %s, a letter that stands for no volume of the machine "
                     "(QueryDosDevice: error %lu)",
                     drive.c_str(), error);
            return reason;
        }
        return std::string();
    case DRIVE_REMOTE:
        return "is on a network drive (" + drive + ")";
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
        return "is on a removable drive (" + drive + ")";
    case DRIVE_RAMDISK:
        return "is on a RAM disk (" + drive + ")";
    default:
        return "is on drive " + drive + ", which is not there";
    }
}

} // namespace

std::string PathTooLongForPass(const std::wstring& path) {
    if (path.size() <= kLongestPassPath) {
        return std::string();
    }
    char reason[160];
    snprintf(reason, sizeof(reason),
             "has a path of %u characters, and the tool opens files through ANSI functions, "
             "which take at most %u",
             static_cast<unsigned>(path.size()), static_cast<unsigned>(kLongestPassPath));
    return reason;
}

std::string DriveUnseenByPass(const std::wstring& path) {
    std::wstring plain;
    if (!WithoutPathPrefix(path, &plain)) {
        return "names a device or a volume, not a file on a drive";
    }
    if (plain.size() < 2 ||
        (plain[1] != L':' && !(IsSeparator(plain[0]) && IsSeparator(plain[1])))) {
        return "names no drive";
    }
    std::string why = plain[1] == L':' ? OnDrive(plain[0]) : "is on a share";
    // A drive mapped or substituted in the installing user's session is not
    // the logon's, and a removable one may be out by then.
    return why.empty() ? why
                       : why + ": the pass runs at the next logon, when only the machine's "
                               "local fixed drives are certain to be there";
}

std::string PassCannotReach(const std::wstring& path) {
    std::string why = PathTooLongForPass(path);
    return why.empty() ? DriveUnseenByPass(path) : why;
}

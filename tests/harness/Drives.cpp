#include "harness/Drives.h"

#include "harness/Harness.h"
#include "harness/Placement.h"

#include <windows.h>
#include <winioctl.h>

#include <string.h>

namespace harness {

namespace {

// Wine's own requests to its mount manager, as its drive configuration makes
// them: a drive letter, its type and the Unix folder it stands for; the type
// DRIVE_NO_ROOT_DIR takes the letter away.
const DWORD kDefineUnixDrive =
    CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

struct UnixDrive {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};

bool DefineUnixDrive(char letter, ULONG type, const std::string& mountPoint) {
    char buffer[1024] = {};
    UnixDrive* drive = reinterpret_cast<UnixDrive*>(buffer);
    drive->letter = static_cast<WCHAR>(letter - 'A' + 'a');
    drive->type = type;
    ULONG size = sizeof(UnixDrive);
    if (!mountPoint.empty() && size + mountPoint.size() < sizeof(buffer)) {
        drive->mountPointOffset = static_cast<USHORT>(size);
        memcpy(buffer + size, mountPoint.c_str(), mountPoint.size() + 1);
        size += static_cast<ULONG>(mountPoint.size()) + 1;
    }
    drive->size = size;
    HANDLE manager =
        CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    BOOL done =
        DeviceIoControl(manager, kDefineUnixDrive, buffer, size, nullptr, 0, &returned, nullptr);
    CloseHandle(manager);
    return done != FALSE;
}

// A letter that no drive has, from the end of the alphabet back; 0 when none.
char FreeLetter() {
    DWORD used = GetLogicalDrives();
    for (char letter = 'Y'; letter >= 'M'; --letter) {
        if ((used & (1u << (letter - 'A'))) == 0) {
            return letter;
        }
    }
    return 0;
}

// Whether the drive's root is there (or gone), waiting up to 5 s: a Unix
// program that Wine starts is not waited for to its end.
bool RootBecomes(char letter, bool there) {
    const char root[] = {letter, ':', '\\', '\0'};
    for (int attempt = 0; attempt < 50; ++attempt) {
        if ((GetFileAttributesA(root) != INVALID_FILE_ATTRIBUTES) == there) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

} // namespace

WineDrive::WineDrive(Kind kind, const std::string& folder) : kind_(kind) {
    std::string target = UnixPathOf(folder);
    char letter = FreeLetter();
    if (target.empty() || letter == 0) {
        return;
    }
    if (kind != Kind::Link) {
        ULONG type = kind == Kind::Network ? DRIVE_REMOTE : DRIVE_REMOVABLE;
        letter_ = DefineUnixDrive(letter, type, target) ? letter : 0;
        return;
    }
    // C:\ is "<prefix>/dosdevices/c:/" to Wine; the link goes beside it.
    std::string drives = UnixPathOf("C:\\");
    drives.erase(drives.size() - 3);
    link_ = drives + static_cast<char>(letter - 'A' + 'a') + ":";
    Run("/bin/ln -s \"" + target + "\" \"" + link_ + "\"");
    letter_ = RootBecomes(letter, true) ? letter : 0;
}

WineDrive::~WineDrive() {
    Remove();
}

void WineDrive::Remove() {
    if (letter_ == 0) {
        return;
    }
    if (kind_ != Kind::Link) {
        DefineUnixDrive(letter_, DRIVE_NO_ROOT_DIR, std::string());
    } else {
        Run("/bin/rm -f \"" + link_ + "\"");
    }
    RootBecomes(letter_, false);
    letter_ = 0;
}

} // namespace harness

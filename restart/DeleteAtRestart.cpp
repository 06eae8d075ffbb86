#include "restart/DeleteAtRestart.h"

#include "main/PathBuffer.h"
#include "restart/RenameSection.h"

#include <windows.h>

typedef BOOL(WINAPI* MoveFileExProc)(LPCSTR, LPCSTR, DWORD);

// The Windows directory is asked for with room left for the file name.
static const char kInitFileName[] = "\\wininit.ini";
static const UINT kWindowsDirectorySize = kPathBufferSize - 16;
// What AddRenameLine may add besides the line: a line break that ends the
// file's last line, and the section header.
static const DWORD kHeaderRoom = 2 + 10;

// The rename line, then the short path, whose space later holds the path of
// the initialisation file. Static: the tool's stack stays small.
static char g_restartArea[2 * kPathBufferSize];

// The delayed move, looked up by name since not every system has it.
static bool ScheduleDelayedMove(const char* path) {
    HMODULE kernel = GetModuleHandleA("KERNEL32.dll");
    if (kernel == nullptr) {
        return false;
    }
    FARPROC entry = GetProcAddress(kernel, "MoveFileExA");
    if (entry == nullptr) {
        return false;
    }
    MoveFileExProc moveFileEx = reinterpret_cast<MoveFileExProc>(reinterpret_cast<void (*)()>(entry));
    return moveFileEx(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

// Formats "NUL=<short path>\r\n" into line; returns its length, or 0 when the
// short path cannot be had or the line would not fit whole (a cut line would
// lose its line end and run into the next one).
static DWORD FormatRenameLine(const char* path, char* line, char* shortPath) {
    DWORD length = GetShortPathNameA(path, shortPath, kPathBufferSize);
    // "NUL=" and CR LF come on top of the short path.
    if (length == 0 || length + 6 >= static_cast<DWORD>(kPathBufferSize)) {
        return 0;
    }
    return static_cast<DWORD>(wsprintfA(line, "NUL=%s\r\n", shortPath));
}

// Fills initPath with the path of "wininit.ini"; false when the Windows
// directory cannot be had in the room kept for it.
static bool GetInitFilePath(char* initPath) {
    UINT length = GetWindowsDirectoryA(initPath, kWindowsDirectorySize);
    if (length == 0 || length >= kWindowsDirectorySize) {
        return false;
    }
    lstrcatA(initPath, kInitFileName);
    return true;
}

// Maps the file with room for the header and the line and edits it in place.
// Returns the length the file must have afterwards: the old size when the
// mapping or the view fails, which undoes the growth the mapping caused.
static DWORD EditMappedFile(HANDLE file, DWORD size, const char* line, DWORD lineLength) {
    DWORD finalLength = size;
    HANDLE mapping =
        CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, size + lineLength + kHeaderRoom,
                           nullptr);
    if (mapping == nullptr) {
        return finalLength;
    }
    char* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (view != nullptr) {
        // The mapping is longer than the file, so the byte at offset size
        // reads as 0 and ends the old text for the searches.
        finalLength = AddRenameLine(view, size, line, lineLength);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return finalLength;
}

// Sets the file's end; the high part is passed so that lengths past 2 GiB are
// not taken for negative distances.
static void SetFileLength(HANDLE file, DWORD length) {
    LONG high = 0;
    SetFilePointer(file, static_cast<LONG>(length), &high, FILE_BEGIN);
    SetEndOfFile(file);
}

static void AddLineToInitFile(const char* initPath, const char* line, DWORD lineLength) {
    HANDLE file = CreateFileA(initPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    // A size that cannot be had, or one that leaves no room in 32 bits for
    // the addition, leaves the file untouched.
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    if (high == 0 && size != INVALID_FILE_SIZE && size <= MAXDWORD - lineLength - kHeaderRoom) {
        SetFileLength(file, EditMappedFile(file, size, line, lineLength));
    }
    CloseHandle(file);
}

void DeleteFileThroughInitFile(const char* path) {
    char* line = g_restartArea;
    char* shortPath = g_restartArea + kPathBufferSize;
    DWORD lineLength = FormatRenameLine(path, line, shortPath);
    if (lineLength == 0) {
        return;
    }
    char* initPath = shortPath;
    if (!GetInitFilePath(initPath)) {
        return;
    }
    AddLineToInitFile(initPath, line, lineLength);
}

void DeleteFileAtRestart(const char* path) {
    if (ScheduleDelayedMove(path)) {
        return;
    }
    DeleteFileThroughInitFile(path);
}

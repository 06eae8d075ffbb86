#pragma once
// Whether two paths name the same file, and whether what lies at a path is
// still the file or folder that was made there. Whatever runs with an
// administrator's rights and takes back what it made decides by identity,
// never by a name: a name can be spelt many ways (short names, case, "." and
// "..", "/", trailing dots and spaces, the "\\?\" prefix), and a user may
// put a link where a folder was.
#include <windows.h>

#include <string>

// A file's or folder's identity: the volume's serial number and the file
// index that the file system gives it (GetFileInformationByHandle). NTFS
// does not give a new file the index of one deleted before it (the index
// carries a sequence number); Wine's are the Unix inode numbers, which the
// file system may give again at once.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
};

bool operator==(const FileIdentity& first, const FileIdentity& second);
bool operator!=(const FileIdentity& first, const FileIdentity& second);

// The identity of the file or folder at the path itself, opened without
// following a link (FILE_FLAG_OPEN_REPARSE_POINT): a symbolic link, a
// junction or a mount point gives its own identity, and isLink says it is
// one. False when nothing is there or it cannot be opened.
bool IdentityOf(const std::wstring& path, FileIdentity* identity, bool* isLink);

// The identity of the file open as handle; false when it cannot be read.
bool IdentityOfOpenFile(HANDLE file, FileIdentity* identity);

// The path in the form in which spellings of a path that is not there (yet)
// are compared: without a prefix, full, "/" as "\", "." and ".." taken out,
// the trailing dots and spaces of each part dropped as the file system drops
// them, and the longest part that exists in its long form.
std::wstring ComparablePath(const std::wstring& path);

// Whether the two paths name the same file or folder: by identity where both
// are there, otherwise by their comparable forms, without regard to case.
bool SameFile(const std::wstring& first, const std::wstring& second);

// What became of taking back a file or folder that was made.
enum class Takeback {
    Deleted,
    // Nothing is there: taken back already, or by the restart.
    Gone,
    // Something else is there now (another identity, or a link): left.
    NotTheSame,
    // It is the one made but could not be deleted (in use, not empty, ...).
    Failed,
};

// Deletes the file, or the empty folder, at the path only when it is still
// the one made: opened without following a link, its identity compared with
// made, and deleted through that same handle, so that nothing can be put in
// its place between the look and the deletion. A read-only file made so
// loses the attribute first. error: the platform's, for Failed.
Takeback DeleteIfSame(const std::wstring& path, const FileIdentity& made, bool folder,
                      DWORD* error);

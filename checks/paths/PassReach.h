#pragma once
// Whether the pass can reach a file where a path names it. The pass runs at
// the next logon, before any user's session maps its network drives or
// substitutes its drive letters, and before a removable drive is known to
// be back; and the tool hands every path to ANSI functions (LoadLibraryExA,
// CreateProcessA), which Windows limits to MAX_PATH characters with the
// terminator, whatever the tool's own buffers hold.
#include <string>

// The longest path those functions take: MAX_PATH less the terminator, as
// Windows documents it ("D:\" and 256 characters). Wine takes one more; a
// path that only Wine would take is refused all the same.
const size_t kLongestPassPath = 259;

// Why the ANSI functions of the tool cannot take the path, in a report's
// words ("has a path of 261 characters, ..."); empty when they can.
std::string PathTooLongForPass(const std::wstring& path);

// Why the pass will not find the drive the path lies on, in a report's words
// ("is on a network drive (N:), ..."); empty for a local fixed drive. The
// path is full, with or without a "\\?\" or "\\.\" prefix.
std::string DriveUnseenByPass(const std::wstring& path);

// Either reason, the length first; empty when the pass can reach the path.
std::string PassCannotReach(const std::wstring& path);

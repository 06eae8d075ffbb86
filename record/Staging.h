#pragma once
// Where "replace" keeps a new version until the restart, and how it is taken
// back: the staged copy lies beside its target under a name of the platform's
// temporary-file pattern ("new" and ".tmp"), and is written first under a
// partial name, which only a complete copy leaves.
#include <string>

// The longest folder a new version can wait in: GetTempFileNameW's, as
// documented (MAX_PATH less a separator, "new", four hexadecimal digits,
// ".tmp" and the terminator), less the prefix of the partial name under which
// the copy is first written, which must fit MAX_PATH as well.
extern const size_t kLongestStagingFolder;

// The partial name under which the staged copy is written; the staged name
// is read back from it, so that a leftover says which staged name it held.
std::wstring PartialNameOf(const std::wstring& staged);

// Whether the file name is one that "replace" gives a staged copy.
bool IsStagedName(const std::wstring& name);

// Removes what a replace that was cut short left in the folder: each partial
// copy, and the staged name it held when no pending rename moves a file from
// there. Says, one line each, what it removed.
void RemoveLeftovers(const std::wstring& folder);

// Takes out of the pending renames every move onto the target from a staged
// copy beside it, and deletes those copies. withdrawn receives how many;
// false, complained, when the list could not be written.
bool WithdrawStagedMoves(const std::wstring& target, unsigned* withdrawn);

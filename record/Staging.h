#pragma once
// Where "replace" keeps a new version until the restart, and how it is taken
// back. The staged copy lies beside its target under a name of the
// platform's temporary-file pattern ("new", four hexadecimal digits, ".tmp"),
// and is written first under a partial name, which only a complete copy
// leaves. Each copy is noted in its product's record, by identity, before
// anything is written to it: an undo takes back only what the record names
// and what is still the file made.
#include "record/ProductRecord.h"

#include <string>

// The longest folder a new version can wait in: one where the staged name
// fits MAX_PATH (a separator, "new", four hexadecimal digits, ".tmp" and the
// terminator), less the prefix of the partial name under which the copy is
// first written, which must fit MAX_PATH as well.
extern const size_t kLongestStagingFolder;

// The partial name under which the staged copy is written.
std::wstring PartialNameOf(const std::wstring& staged);

// A complete copy of source beside the target, under its staged name, noted
// for the product; empty, complained, with nothing left behind, when it
// could not be made. copy receives what was noted.
bool StageNewVersion(const Product& product, const std::wstring& source, const std::wstring& target,
                     StagedCopy* copy);

// Takes back a staged copy that did not get its move (the move failed, or a
// replace was cut short): its partial copy and its name, each only while it
// is still the file made, and the note.
void TakeBackStaged(const Product& product, const StagedCopy& copy, bool quiet);

// Takes back, for the product, what replace runs that were cut short left:
// each noted copy that no pending rename moves. Says what it removed.
void RemoveLeftovers(const Product& product);

// Takes out of the pending renames the moves of the product's staged copies
// onto the target (every target, when it is empty; only the copies noted
// under those keys, with keys), and deletes those copies while they are
// still the files made. withdrawn receives how many; false, complained, when
// the list could not be written.
bool WithdrawStagedMoves(const Product& product, const std::wstring& target, unsigned* withdrawn,
                         const std::vector<std::wstring>* keys = nullptr);

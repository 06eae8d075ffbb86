#pragma once
// What the recorder made for each product, so that every undo takes back
// exactly that: the entries it recorded in the product's work set, each new
// version it staged with the move that names it, and the armings (the tool's
// copy, its folder and the RunOnce value that starts it) with the products
// that rely on them. Files and folders are noted by identity, as opened
// without following links, so that an undo can tell that what lies at a path
// is still what was made.
//
// The record lies under HKLM\Software\pendreg-record in the 64-bit view
// (the only view on 32-bit Windows), in keys that only SYSTEM and
// Administrators may change. The pass never reads or deletes it: after the
// restart it still says what the product recorded, for its uninstall.
//
//   Products\<product>            one key per product (its work set's name)
//     Entries32, Entries64        what add recorded, per registry view:
//                                 count, N.mode, N.file, as in a work set
//     Staged\<n>                  staged, stagedId, partialId, folderId,
//                                 target
//   Unnamed                       the same, for verbs given no --work-set
//   Armings\<n>                   value, view, command, copy, copyId,
//                                 folder, folderId, madeFor
//     Relying                     one value per product that relies on it
#include "checks/paths/FileIdentity.h"
#include "record/WorkSetWriter.h"

#include <string>
#include <vector>

// The product that a verb works for: its work set's name (--work-set), or
// empty for a verb given none. The unnamed product's record is one of its
// own, which no named product's undo touches.
using Product = std::wstring;

// A new version that replace staged beside its target.
struct StagedCopy {
    std::wstring key; // its key under the product's Staged
    std::wstring staged;
    // The placeholder that reserves the staged name, then the copy itself,
    // which is written under its partial name and renamed to it.
    FileIdentity stagedId;
    FileIdentity partialId;
    FileIdentity folderId;
    std::wstring target;
};

// A copy of the tool with the RunOnce value that starts it, made by arm.
struct Arming {
    std::wstring key; // its key under Armings
    std::wstring value;
    int viewBits = 64; // the view of the RunOnce value
    std::wstring command;
    std::wstring copy;
    FileIdentity copyId;
    std::wstring folder;
    FileIdentity folderId;
    Product madeFor;
};

// How the record is named in messages, as an administrator would look it up.
std::string RecordShown(const Product& product);

// Notes the entries that add recorded in the product's work set of that
// view, after those noted already. False, complained, when it could not.
bool NoteEntries(const Product& product, int toolBits, const std::vector<NewEntry>& entries);

// The entries noted for the product in that view, in the order recorded.
std::vector<NewEntry> NotedEntries(const Product& product, int toolBits);

// Forgets the entries noted for the product in that view.
bool ForgetEntries(const Product& product, int toolBits);

// Notes a staged copy (again, when its key is set: what it holds now);
// its key is filled in. False, complained, on failure.
bool NoteStaged(const Product& product, StagedCopy* copy);
std::vector<StagedCopy> NotedStaged(const Product& product);
bool ForgetStaged(const Product& product, const StagedCopy& copy);

// Notes an arming that arm made for the product (again, when its key is
// set), and that the product relies on it; its key is filled in.
bool NoteArming(Arming* arming, const Product& product);
// Notes that the product relies on an arming another product made.
bool NoteReliance(const Product& product, const Arming& arming);
std::vector<Arming> NotedArmings();
// The products that rely on the arming; unnamed receives whether a verb
// given no --work-set does.
std::vector<Product> RelyingOn(const Arming& arming, bool* unnamed);
bool ForgetArming(const Arming& arming);

// Forgets that the product relies on any arming.
bool ForgetReliance(const Product& product);

// The named products noted.
std::vector<Product> NotedProducts();
// Forgets the product: its entries, its staged copies and its reliance.
bool ForgetProduct(const Product& product);

#pragma once
// What it takes to change a file, a folder, a staging folder or a key: the
// rights that do, in the words a report says them in, and how each kind of
// object maps the generic rights.
#include <windows.h>

#include <string>
#include <vector>

// A file changes when it is written, appended to or deleted; a folder when
// files are added to it or deleted in it; a key when values are set or
// subkeys created in it. Changing the permissions or the owner of any of them
// counts too, and so does owning it (unless an OWNER RIGHTS entry says what
// the owner may do instead). A staging folder holds a new version that a
// rename at restart moves elsewhere: the loader never searches it, so only
// deleting files in it counts, not adding them.
enum class Securable { File, Folder, StagingFolder, Key };

// A right that lets a principal change an object, as the report says it.
struct Right {
    ACCESS_MASK mask;
    const char* said;
};

// The rights that change one kind of object, and how it maps the generic
// rights.
struct Rights {
    std::vector<Right> changing;
    GENERIC_MAPPING mapping;
};

const Rights& RightsOf(Securable kind);

// The rights among granted that change the object, as the report says them
// ("write to it, delete it"); empty when none does.
std::string Said(const Rights& rights, ACCESS_MASK granted);

// Every right that changes the object, in one mask.
ACCESS_MASK Changing(const Rights& rights);

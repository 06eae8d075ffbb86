#pragma once
// Who may change a file where it lies: the file itself, its folder, and every
// folder above it up to the root of its volume, each of which users could
// swap for one of their own.
#include "checks/text/Findings.h"

#include <string>
#include <vector>

// How the pass meets a file: it loads or runs it where it lies, or the file
// is a new version staged for a rename at restart, in a folder that the
// loader never searches (C:\Windows\Temp, where installers that run as
// SYSTEM stage theirs).
enum class Placement { Runs, Staged };

// Judges files and the folders above them, each folder once however many of
// the files lie below it.
class Placements {
  public:
    // file names the file with its path ("the file C:\d\a.dll"), below names
    // it in the lines of its folders ("the folder C:\d of the file").
    bool Add(Findings& findings, const std::string& named, const std::string& below,
             const std::wstring& file, Placement placement);

  private:
    // Whether the folder was judged already; it counts as judged from now.
    bool Judged(const std::wstring& folder);

    std::vector<std::wstring> judged_;
};

// Judges a file where it lies: the file (when it is there), its folder, and
// every folder above it up to the root of its volume, each of which ordinary
// users could swap for one of their own if they may move it away (delete it,
// or delete in its parent) and make a folder in its parent. Its folder is
// judged as a Folder for a file that runs, as a StagingFolder for one staged.
// what names the file as the report says it ("the module C:\d\helper.dll");
// the failures read "ordinary users may change WHAT: ...", "... the folder F
// of WHAT: ..." and "... the folder F above WHAT: ...". Adds nothing when
// nothing was unsafe, and then returns true.
bool AddPlacementFindings(Findings& findings, const std::string& what, const std::wstring& file,
                          Placement placement = Placement::Runs);

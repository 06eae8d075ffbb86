#pragma once
// The one thing that the checks of an entry and the dependency checks they
// call both take, in a header of its own in the lower of their folders, so
// that neither includes the other.
#include "checks/renames/RestartRenames.h"

#include <memory>
#include <string>
#include <vector>

struct DependencyCache;
struct PlacementCache;

// What the checks of every entry need, read once per run.
struct FileCheckContext {
    // The bitness of the tool, and so of its own child: 32 or 64.
    int toolBits;
    std::vector<PendingRename> renames;
    // The tool that the D command lines start: its folder is the first that
    // its child searches for a module that is loaded by name alone.
    std::wstring toolPath{};
    // Made by the dependency checks on first use, and kept for the run.
    mutable std::shared_ptr<DependencyCache> dependencies{};
    // Made by the judgement of the modules an entry loads, and kept for the
    // run.
    mutable std::shared_ptr<PlacementCache> placements{};
};

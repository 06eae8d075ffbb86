#pragma once
// The renames that the next restart carries out (the platform's delayed
// moves and deletions), and what they do to a file.
#include <string>

enum class AtRestart { Untouched, Arrives, Leaves };

// What the restart's delayed moves do to the file, taken in their order: it
// arrives from source, or leaves (deleted, or moved away to source).
AtRestart FindDelayedMove(const char* file, std::string* source);

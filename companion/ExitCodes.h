#pragma once
// The exit codes of both companions. An installer's engine sees nothing else
// of a step it runs without a console, so each code keeps one meaning in
// both programs.

// Done; for the inspector: the pass will do all that is recorded.
constexpr int kExitDone = 0;
// The inspector only: the pass will not do all that is recorded, or nothing
// starts it (with --strict, also a warning).
constexpr int kExitFindings = 1;
// Refused or failed with nothing changed (the recorder), or nothing could be
// inspected (the inspector); the reasons are on standard error.
constexpr int kExitRefused = 2;
// Out of memory, or a fault in the companion's own code: the process was
// ended where it stood, with one line on standard error.
constexpr int kExitAborted = 3;

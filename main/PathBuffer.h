#pragma once

// Every 8-bit path buffer of the tool holds this many bytes, terminator included;
// the one UTF-16 path buffer holds this many units.
const int kPathBufferSize = 1024;

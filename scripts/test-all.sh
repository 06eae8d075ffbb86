#!/bin/bash
# Sets up, builds both presets and runs every test: the checks of the shipped
# 32-bit image, then the suite that runs the 64-bit build under wine64.
set -eu
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset i686
cmake --build --preset i686
cmake --preset x86_64
cmake --build --preset x86_64
ctest --preset i686 --no-tests=error
# Wine under a heavily loaded machine has been seen, rarely, to fail starting a
# process (error 1359) or to lose one test's child. A fault of the tool fails
# every time, so the tests that failed run once more, alone, and decide; the
# first failures stay in the log above.
if ! ctest --preset x86_64 --no-tests=error; then
    echo "test-all: running the failed fast tests once more, to tell a fault from Wine under load"
    ctest --preset x86_64 --rerun-failed --output-on-failure
fi
# Last, and slow: the shipped image run for real under WoW64 emulation.
# Setup has installed what it needs, so here it must run, never be skipped.
PENDREG_WOW64_REQUIRED=1 ctest --preset wow64 --no-tests=error

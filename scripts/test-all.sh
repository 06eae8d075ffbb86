#!/bin/bash
# Sets up, builds both presets and runs every test: the checks of the shipped
# 32-bit image, the suite that runs the 64-bit build under wine64, then the
# WoW64 lane. When the lane's packages cannot be installed, everything else
# still runs, and the run fails at the end with one line saying why the lane
# did not.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The lane's packages come from the 32-bit indexes, which fail on their own
# at times (a mirror in the middle of a sync): their reason is kept for the end.
lane_log=$(mktemp)
trap 'rm -f "$lane_log"' EXIT
lane_missing=
if ! bash scripts/setup.sh --lane 2>&1 | tee "$lane_log"; then
    lane_missing=$(grep '^setup: cannot' "$lane_log" | tail -1 || true)
    lane_missing=${lane_missing:-setup: its packages could not be installed}
fi
cmake --preset i686
cmake --build --preset i686
cmake --preset x86_64
cmake --build --preset x86_64
ctest --preset i686 --no-tests=error
# Wine under a heavily loaded machine has been seen, rarely, to fail starting a
# process (error 1359) or to lose one test's child. A fault of the tool fails
# every time, so the tests that failed run once more, alone, and decide; the
# first failures stay in the log above, and each one rerun is named here with
# the reason its first run gave: the first failed expectation, or how Wine
# ended it (cmake/wine-run.sh says so whenever a program fails).
if ! ctest --preset x86_64 --no-tests=error; then
    temporary=build/x86_64/Testing/Temporary
    while IFS=: read -r _ name; do
        said=$(awk -v name="$name" '
            $0 ~ "^[0-9]+/[0-9]+ Test: " && $3 == name { inside = 1; next }
            !inside { next }
            /^<end of output>/ { exit }
            /^wine-run: / { wine = $0 }
            / Failure$/ && at == "" { at = $1 }
            /^\[  FAILED  \]/ && failure == "" { failure = at " " last }
            NF { last = $0 }
            END { print failure != "" ? failure : wine }' "$temporary/LastTest.log")
        echo "test-all: rerunning $name, which failed saying: ${said:-nothing}"
    done <"$temporary/LastTestsFailed.log"
    ctest --preset x86_64 --rerun-failed --output-on-failure
fi
# The lane is required here: it is the only run of the shipped image itself.
if [ -n "$lane_missing" ]; then
    echo "test-all: FAILED: the WoW64 lane did not run: ${lane_missing#setup: }"
    exit 1
fi
# Last, and slow: the shipped image run for real under WoW64 emulation.
PENDREG_WOW64_REQUIRED=1 ctest --preset wow64 --no-tests=error

#!/bin/bash
# Sets up, builds both presets and runs every test: the checks of the shipped
# 32-bit image, the suite that runs the 64-bit build under wine64, and the
# WoW64 lane, in a Debian root of its own. The root is made (the first time,
# or when what it is made from changed) while the rest builds and runs; the
# lane's pass runs beside the fast suite, and the fast suite's rows that need
# a 32-bit side run in the lane after it. When the root cannot be made,
# everything else still runs, and the run fails at the end with one line
# saying why the lane did not.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(
    bash scripts/setup.sh --lane >"$scratch/setup.log" 2>&1
    echo $? >"$scratch/setup.status"
) &
lane_made() { # waits for the root; fails when it could not be made
    while [ ! -s "$scratch/setup.status" ]; do sleep 2; done
    [ "$(cat "$scratch/setup.status")" = 0 ]
}
cmake --preset i686
cmake --build --preset i686
cmake --preset x86_64
cmake --build --preset x86_64

# The lane is required here: it is the only run of the shipped image itself,
# and of the fast suite's rows that need a 32-bit side.
export PENDREG_WOW64_REQUIRED=1
(lane_made || exit 0; ctest --preset wow64 --no-tests=error -R wow64_pending_pass) \
    >"$scratch/pass.log" 2>&1 &
pass=$!
ctest --preset i686 --no-tests=error
# No failed test is run a second time to see whether it passes then: that
# hides a failure instead of explaining it. Every failure says why;
# cmake/wine-run.sh adds how Wine ended a program that failed, and keeps a
# second ctest in this build folder from removing the prefix under this one.
# The rows that need a 32-bit side list themselves as they skip.
rm -f build/x86_64/tests/lane-rows.txt
failed=()
ctest --preset x86_64 --no-tests=error || failed+=("the fast suite")
if lane_made; then
    ctest --preset wow64 --no-tests=error -R wow64_fast_suite_rows ||
        failed+=("the fast suite's rows in the WoW64 lane")
fi
wait $pass || failed+=("the WoW64 lane's pass")
cat "$scratch/pass.log"
sed 's/^/lane set-up: /' "$scratch/setup.log"
if ! lane_made; then
    reason=$(grep '^setup: cannot' "$scratch/setup.log" | tail -1 || true)
    reason=${reason:-setup: it could not be set up (exit code $(cat "$scratch/setup.status"))}
    failed+=("the WoW64 lane did not run: ${reason#setup: }")
fi
for failure in "${failed[@]}"; do
    echo "test-all: FAILED: $failure"
done
[ ${#failed[@]} -eq 0 ]

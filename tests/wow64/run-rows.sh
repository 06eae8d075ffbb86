#!/bin/bash
# The fast suite's rows that need a 32-bit side: where the fast suite's prefix
# has none, the x86_64 test program skips them and lists them beside itself
# (lane-rows.txt), and they run here, in a prefix of the WoW64 lane, which
# has one. No row is skipped in both places.
#
#   run-rows.sh WINE_RUN TESTS64 WORK
# Exit 0: every listed row passed, or none is listed; 77: emulation cannot be
# set up here (skipped); else failed.
set -u
wine_run=$1 tests64=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
list=$tests64/lane-rows.txt
rows=()
[ -f "$list" ] && mapfile -t rows < <(tr -d '\r' <"$list" | sort -u)
if [ ${#rows[@]} -eq 0 ]; then
    echo "no row of the fast suite was left to the lane ($list lists none)"
    exit 0
fi
source "$here/emulation.sh"
enter_lane "$0" "$@"

prefix=$work/prefix
trap '"$wine_run" "$prefix" --stop' EXIT
source "$here/../checks.sh"
rm -rf "$work" && mkdir -p "$work"
started=$(date +%s)
"$wine_run" "$prefix" --fresh
[ -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ] || {
    echo "FAIL the prefix has no 32-bit side"
    exit 1
}
filter=$(IFS=:; echo "${rows[*]}")
(cd "$tests64" && timeout 1800 "$wine_run" "$prefix" "$tests64/pendreg_tests.exe" \
    --gtest_filter="$filter") >"$work/rows.txt" 2>&1
status=$?
echo "${#rows[@]} rows of the fast suite: $(($(date +%s) - started)) s, exit code $status"
for row in "${rows[@]}"; do
    check "fast-suite row run with the 32-bit side: $row" grep -qF "[       OK ] $row (" "$work/rows.txt"
done
[ "$failures" -eq 0 ] || tr -d '\r' <"$work/rows.txt" | sed 's/^/  rows: /'
[ "$failures" -eq 0 ] && [ $status -eq 0 ]

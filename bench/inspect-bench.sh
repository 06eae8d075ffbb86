#!/bin/bash
# Benchmark of the inspector under wine64 (prints figures, never fails): one
# work set of N DLL entries whose files need two helper DLLs each, checked to
# the bottom of their imports.
#   shared:  the N files in one folder with one pair of helpers, as one
#            product installs them: every helper is read once for all N;
#   apart:   each file in a folder of its own with its own pair of helpers:
#            3 x N modules to read;
# against the inspector's run over no key at all (starting it under Wine).
#   bench/inspect-bench.sh [N]     N defaults to 200
# The x86_64 build goes to build/bench-x86_64 (or $PENDREG_BENCH_BUILD).
set -u
cd "$(dirname "$0")/.."
root=$PWD
entries=${1:-200}
build=${PENDREG_BENCH_BUILD:-$root/build/bench-x86_64}

say_failed() {
    echo "inspect-bench: $1; no figures" >&2
    exit 0
}

cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/toolchain-x86_64.cmake" \
    -DPENDREG_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null ||
    say_failed "configuring failed"
cmake --build "$build" --target pendreg-inspect deepdep >/dev/null || say_failed "building failed"

work=$(mktemp -d /tmp/pendreg-inspect-bench.XXXXXX)
prefix=$work/prefix
trap '"$root/cmake/wine-run.sh" "$prefix" --stop; rm -rf "$work"' EXIT
win() {
    "$root/cmake/wine-run.sh" "$prefix" "$@"
}
win --fresh || say_failed "no Wine prefix"
bench=$prefix/drive_c/bench
fixtures=$build/tests/fixtures
mkdir -p "$bench/shared"
cp "$build/pendreg-inspect.exe" "$bench/"
cp "$fixtures/needsdep.dll" "$fixtures/dephelper.dll" "$bench/shared/"
for ((i = 1; i <= entries; i++)); do
    name=$(printf 'd%03d' "$i")
    cp "$fixtures/deepdep.dll" "$bench/shared/$name.dll"
    mkdir -p "$bench/apart/$name"
    cp "$fixtures/deepdep.dll" "$fixtures/needsdep.dll" "$fixtures/dephelper.dll" \
        "$bench/apart/$name/"
done

# A .reg file with one work set whose entry N names the file that file_of N prints.
work_set() {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[-HKEY_LOCAL_MACHINE\\Software\\Zelk.Library.Cormant.v3]\r\n\r\n'
    [ "$1" = none ] && return
    printf '[HKEY_LOCAL_MACHINE\\Software\\Zelk.Library.Cormant.v3\\Bench]\r\n'
    printf '"count"=dword:%08x\r\n' "$entries"
    for ((i = 1; i <= entries; i++)); do
        printf '"%d.mode"="D"\r\n"%d.file"="%s"\r\n' "$i" "$i" "$("$1" "$i")"
    done
}
shared_file() { printf 'C:\\\\bench\\\\shared\\\\d%03d.dll' "$1"; }
apart_file() { printf 'C:\\\\bench\\\\apart\\\\d%03d\\\\deepdep.dll' "$1"; }

# The best wall time of five inspector runs over the layout, in milliseconds
# (the best, as other work on the machine only ever adds to it), then the
# number of entries whose every module was found.
time_layout() {
    work_set "$1" >"$bench/$1.reg"
    win regedit /S "C:\\bench\\$1.reg"
    win 'C:\bench\pendreg-inspect.exe' --view=64 >"$work/$1.out" # warms the caches
    local found=$(grep -c 'finds every module it needs' "$work/$1.out")
    local best=
    for run in 1 2 3 4 5; do
        local start=$(date +%s%N)
        win 'C:\bench\pendreg-inspect.exe' --view=64 >/dev/null
        local ms=$((($(date +%s%N) - start) / 1000000))
        [ -z "$best" ] || [ "$ms" -lt "$best" ] && best=$ms
    done
    echo "$best $found"
}

read -r none_ms _ < <(time_layout none)
read -r shared_ms shared_found < <(time_layout shared_file)
read -r apart_ms apart_found < <(time_layout apart_file)

echo "Inspector benchmark under wine64, a work set of $entries D entries, each needing two helpers"
echo "(best of 5 runs; load average now: $(cut -d' ' -f1 /proc/loadavg))"
awk -v n="$entries" -v none="$none_ms" -v shared="$shared_ms" -v apart="$apart_ms" \
    -v sf="$shared_found" -v af="$apart_found" 'BEGIN {
    printf "  no key (starting the inspector): %6.2f s\n", none / 1000
    printf "  shared helpers:                  %6.2f s, %.2f ms per entry beyond the start (goal: well under 2 s); %d of %d entries found all\n", shared / 1000, (shared - none) / n, sf, n
    printf "  helpers apart (%d modules):     %6.2f s, %.2f ms per entry beyond the start; %d of %d entries found all\n", 3 * n, apart / 1000, (apart - none) / n, af, n
}'

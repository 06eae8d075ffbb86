#!/bin/bash
# Benchmark of the pending pass under wine64 (prints figures, never fails):
# one "/S" pass over a work set of N DLL entries against the platform's
# "regsvr32 /s" run on the same N DLLs one after another (from one cmd batch,
# so both sides start their processes from inside Wine). Then the peak working
# set of one child of the tool next to that of one regsvr32.
#   bench/pass-bench.sh [N]     N defaults to 200
# The x86_64 build goes to build/bench-x86_64 (or $PENDREG_BENCH_BUILD).
set -u
cd "$(dirname "$0")/.."
root=$PWD
entries=${1:-200}
build=${PENDREG_BENCH_BUILD:-$root/build/bench-x86_64}

say_failed() {
    echo "pass-bench: $1; no figures" >&2
    exit 0
}

cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/toolchain-x86_64.cmake" \
    -DPENDREG_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null ||
    say_failed "configuring failed"
cmake --build "$build" --target pendreg peakserver >/dev/null || say_failed "building failed"

work=$(mktemp -d /tmp/pendreg-pass-bench.XXXXXX)
prefix=$work/prefix
cleanup() {
    "$root/cmake/wine-run.sh" "$prefix" --stop
    rm -rf "$work"
}
trap cleanup EXIT
win() {
    "$root/cmake/wine-run.sh" "$prefix" "$@"
}
now_ns() {
    date +%s%N
}

# The server first: a pass schedules its own file for deletion, and a server
# started later would carry that out on a copy made afterwards.
win --fresh || say_failed "no Wine prefix"
bench=$prefix/drive_c/bench
mkdir -p "$bench/dlls"
cp "$build/pendreg.exe" "$bench/pendreg.exe"
cp "$build/pendreg.exe" "$bench/pendreg-peak.exe"
cp "$build/bench/pass/peakserver.dll" "$bench/peak.dll"
names=()
for ((i = 1; i <= entries; i++)); do
    name=$(printf 'd%03d.dll' "$i")
    cp "$build/bench/pass/peakserver.dll" "$bench/dlls/$name"
    names+=("$name")
done

# Both work sets as an installer records them.
{
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Zelk.Library.Cormant.v3\\Bench]\r\n'
    printf '"count"=dword:%08x\r\n' "$entries"
    for ((i = 1; i <= entries; i++)); do
        printf '"%d.mode"="D"\r\n"%d.file"="C:\\\\bench\\\\dlls\\\\%s"\r\n' "$i" "$i" "${names[i - 1]}"
    done
} >"$bench/bench.reg"
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\Software\Zelk.Library.Cormant.v3\Peak]' \
    '"count"=dword:00000001' '"1.mode"="D"' '"1.file"="C:\\bench\\peak.dll"' >"$bench/peak.reg"
{
    printf '@echo off\r\n'
    for name in "${names[@]}"; do
        printf 'regsvr32 /s C:\\bench\\dlls\\%s\r\n' "$name"
    done
} >"$bench/regsvr32-loop.bat"

# Peak working sets first; these runs also warm the caches for the timings.
export PENDREG_BENCH_PEAK='C:\bench\peak.log'
win regedit /S 'C:\bench\peak.reg'
win 'C:\bench\pendreg-peak.exe' /S
win regsvr32 /s 'C:\bench\peak.dll'
unset PENDREG_BENCH_PEAK

win regedit /S 'C:\bench\bench.reg'
start=$(now_ns)
win 'C:\bench\pendreg.exe' /S
pass_ns=$(($(now_ns) - start))
if win reg query 'HKLM\Software\Zelk.Library.Cormant.v3' >/dev/null 2>&1; then
    echo "pass-bench: the pass left the key behind; its time is not comparable" >&2
fi

start=$(now_ns)
win cmd /c 'C:\bench\regsvr32-loop.bat'
regsvr32_ns=$(($(now_ns) - start))

echo "Pending pass benchmark under wine64, $entries DLL entries"
awk -v n="$entries" -v pass="$pass_ns" -v reg="$regsvr32_ns" 'BEGIN {
    printf "  pass \"/S\":            %8.2f ms per entry (%.2f s in all)\n", pass / n / 1e6, pass / 1e9
    printf "  regsvr32 /s loop:      %8.2f ms per entry (%.2f s in all)\n", reg / n / 1e6, reg / 1e9
    printf "  pass / regsvr32 loop:  %8.2f (goal: 1.00 or less)\n", pass / reg
}'
peak_of() {
    tr -d '\r' <"$bench/peak.log" 2>/dev/null | awk -F'\t' -v image="$1" \
        'tolower($1) ~ image { printf "%.0f KiB", $2 / 1024; found = 1 } END { if (!found) printf "not measured" }'
}
echo "  peak working set, one child of the tool: $(peak_of 'pendreg-peak\\.exe$')"
echo "  peak working set, one regsvr32:          $(peak_of 'regsvr32\\.exe$')"

#!/bin/bash
# Prints how long one child-mode registration takes as a 32-bit process under
# emulation, against the same as an x86_64 process under wine64: the cost of
# each 32-bit process in the WoW64 lane. A figure, never a failure.
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/tests/wow64/emulation.sh"
if [ -z "${PENDREG_EMULATED:-}" ]; then
    bash "$repo/scripts/setup.sh" && bash "$repo/scripts/setup.sh" --lane
    for preset in i686 x86_64; do
        cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null || exit 1
    done
    export PENDREG_EMULATED=1
    with_emulation "$0" "$@"
    exit
fi

wine_run=$repo/cmake/wine-run.sh
prefix=$(mktemp -d /tmp/pendreg-wow64-bench.XXXXXX)/prefix
trap '"$wine_run" "$prefix" --stop; rmdir "$(dirname "$prefix")"' EXIT
# Wall time of a command, in tenths of a second.
tenths() {
    local start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    echo $((($(date +%s%N) - start) / 100000000))
}
show() { echo "$(($1 / 10)).$(($1 % 10)) s"; }

echo "prefix with its 32-bit side: $(show "$(tenths "$wine_run" "$prefix" --fresh)")"
dir=$prefix/drive_c/bench
mkdir -p "$dir"
cp "$repo/build/i686/pendreg.exe" "$dir/pendreg32.exe"
cp "$repo/build/i686/tests/fixtures/recorder.dll" "$dir/rec32.dll"
cp "$repo/build/x86_64/pendreg.exe" "$dir/pendreg64.exe"
cp "$repo/build/x86_64/tests/fixtures/recorder.dll" "$dir/rec64.dll"

t32=$(tenths "$wine_run" "$prefix" 'C:\bench\pendreg32.exe' '/DC:\bench\rec32.dll')
t64=$(tenths "$wine_run" "$prefix" 'C:\bench\pendreg64.exe' '/DC:\bench\rec64.dll')
echo "one 32-bit child (emulated): $(show "$t32")"
echo "one x86_64 child (wine64):   $(show "$t64")"
echo "ratio: about $(((t32 + t64 / 2) / (t64 > 0 ? t64 : 1)))"

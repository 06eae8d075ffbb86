#!/bin/bash
# Builds the rename-section benchmark in a 64-bit build folder of its own,
# runs it in a throwaway Wine prefix and prints the figures. The figures never
# fail the script; only a failing build does.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${PENDREG_BENCH_BUILD:-$repo/build/bench-rename}
run=$repo/cmake/wine-run.sh
prefix=$build/wine-prefix

cmake -S "$repo" -B "$build" -G Ninja --toolchain "$repo/cmake/toolchain-x86_64.cmake" \
    -DPENDREG_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target pendreg_bench_rename >/dev/null

trap '"$run" "$prefix" --stop' EXIT
"$run" "$prefix" --fresh
"$run" "$prefix" "$build/bench/rename/pendreg_bench_rename.exe" || true

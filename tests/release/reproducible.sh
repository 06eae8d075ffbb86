#!/bin/bash
# Two builds of the same sources must give the same image, inspector, recorder
# and zip.
# The second build differs from the first in every way a builder's machine
# may: another source folder and build folder (of another length), a later
# time, another time zone and another umask.
# Usage: reproducible.sh CMAKE SOURCE_DIR TOOLCHAIN_IN_SOURCES BUILD_TYPE SCRATCH
set -u
cmake=$1 source=$2 toolchain=$3 build_type=$4 scratch=$5

rm -rf "$scratch"
mkdir -p "$scratch/sources"

# Both builds start from one snapshot of the sources, so that an edit made
# meanwhile in the working tree cannot make them differ. Build output and
# history stay behind: build folders may hold the scratch folder itself.
for entry in "$source"/* "$source"/.[!.]*; do
    case "${entry##*/}" in
    build* | dist | .git) ;;
    *) cp -a "$entry" "$scratch/sources/" ;;
    esac
done
cp -a "$scratch/sources" "$scratch/the-same-sources-elsewhere"

build() { # sources, build folder
    local log=$2.log
    if ! { "$cmake" -S "$1" -B "$2" -G Ninja --toolchain "$1/$toolchain" \
        -DCMAKE_BUILD_TYPE="$build_type" && "$cmake" --build "$2" --target release; } >"$log" 2>&1; then
        cat "$log"
        echo "FAIL: building $1 in $2"
        exit 1
    fi
}

build "$scratch/sources" "$scratch/a"
sleep 1
(umask 077 && TZ=CHAST-12:45 build "$scratch/the-same-sources-elsewhere" "$scratch/build-b-elsewhere") || exit 1

failures=0
compare() { # what, path in build a, path in build b
    local sum_a sum_b
    sum_a=$(sha256sum <"$2" | cut -d' ' -f1)
    sum_b=$(sha256sum <"$3" | cut -d' ' -f1)
    if [ -n "$sum_a" ] && [ "$sum_a" = "$sum_b" ]; then
        echo "ok   $1: $sum_a"
    else
        echo "FAIL $1 differs: $sum_a vs $sum_b"
        cmp -l "$2" "$3" | head -n 20
        failures=$((failures + 1))
    fi
}
zip_name=$(cd "$scratch/a/release" && ls pendreg-*.zip)
compare "image" "$scratch/a/pendreg.exe" "$scratch/build-b-elsewhere/pendreg.exe"
compare "inspector" "$scratch/a/pendreg-inspect.exe" "$scratch/build-b-elsewhere/pendreg-inspect.exe"
compare "recorder" "$scratch/a/pendreg-record.exe" "$scratch/build-b-elsewhere/pendreg-record.exe"
compare "release zip" "$scratch/a/release/$zip_name" "$scratch/build-b-elsewhere/release/$zip_name"

[ "$failures" -eq 0 ] && rm -rf "$scratch"
[ "$failures" -eq 0 ]

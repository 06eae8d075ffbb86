#!/bin/bash
# Prints the size of the shipped 32-bit image, and of each of its sections,
# against the goal of 5,120 bytes, and the sizes of the companions shipped
# beside it, and of their sections, against theirs. A figure, never a failure.
set -eu
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset i686 >/dev/null
cmake --build --preset i686 >/dev/null
sections() { # image
    i686-w64-mingw32-objdump -h "$1" | awk '/^ +[0-9]+ / { print $2, $3 }' |
        while read -r name hexsize; do
            printf '  %-8s %6d bytes\n' "$name" "$((0x$hexsize))"
        done
}
image=build/i686/pendreg.exe
size=$(stat -c %s "$image")
echo "pendreg.exe (i686): $size bytes (goal: at most 5120)"
sections "$image"
# Installers carry the recorder inside their own packages; the release check
# holds both companions to the limit set in cmake/Companion.cmake. Which
# object each byte comes from: build/i686/<companion>.map.
setting() { sed -n "s/^set($1 \([0-9]*\))$/\1/p" cmake/Companion.cmake; }
goal=$(setting PENDREG_COMPANION_SIZE_GOAL)
limit=$(setting PENDREG_COMPANION_SIZE_LIMIT)
for companion in pendreg-inspect pendreg-record; do
    size=$(stat -c %s "build/i686/$companion.exe")
    if [ "$size" -le "$goal" ]; then
        against="$((goal - size)) to spare"
    else
        against="$((size - goal)) over"
    fi
    echo "$companion.exe (i686): $size bytes (goal: at most $goal, $against;" \
        "the release check's ceiling: $limit)"
    sections "build/i686/$companion.exe"
done

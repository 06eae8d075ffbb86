#!/bin/bash
# Every Wine program of the test run goes without address-space randomisation
# (cmake/wine-run.sh says why): those that wine-run.sh starts and those that
# they start in turn, as a pass starts its children. Looked at: the run's
# prefix, whose programs at this point are at least the idle one that keeps
# the desktop and the services that Wine's first program started.
#   wine-unrandomised.sh PREFIX
set -u
prefix=$1
. "$(dirname "$0")/../checks.sh"

# The processes of Wine's loader whose environment names the prefix, one line
# each: the process, its personality (hex) and its command line.
wine_programs() {
    local environ pid personality
    for environ in /proc/[0-9]*/environ; do
        pid=${environ#/proc/}
        pid=${pid%/environ}
        [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "${PENDREG_WINE64:-/usr/lib/wine/wine64}" ] || continue
        tr '\0' '\n' <"$environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" || continue
        # A process that has ended meanwhile is passed over.
        personality=$(cat "/proc/$pid/personality" 2>/dev/null) || continue
        echo "$pid $personality $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
    done
}

# ADDR_NO_RANDOMIZE, from the kernel's personality flags.
all_unrandomised() {
    local pid personality line found=0 randomised=0
    while read -r pid personality line; do
        found=1
        if (((16#$personality & 0x0040000) == 0)); then
            echo "$line (process $pid) runs with its address space randomised"
            randomised=1
        fi
    done < <(wine_programs)
    [ "$found" = 1 ] || echo "no Wine program of the prefix $prefix is running to look at"
    [ "$found" = 1 ] && [ "$randomised" = 0 ]
}

check "every Wine program of the run starts without address-space randomisation" all_unrandomised
[ "$failures" -eq 0 ]

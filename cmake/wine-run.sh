#!/bin/bash
# Runs a Windows program under wine64 in a throwaway prefix of the test run's
# own, never ~/.wine.
#   wine-run.sh PREFIX PROGRAM [ARGS...]  run it (creating the prefix if missing)
#   wine-run.sh PREFIX --fresh            start the run: a new prefix, and a
#                                         wineserver kept alive until --stop
#   wine-run.sh PREFIX --ready            fail unless the prefix is made; start
#                                         its server if it has gone
#   wine-run.sh PREFIX --stop             end the run: stop the server, remove the prefix
# With PENDREG_WINE_TEMPLATE naming a made prefix, --fresh starts from a copy
# of it: the WoW64 lane's prefixes, whose 32-bit side takes minutes to set up
# under emulation, are set up once, when the lane's root is made.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# Nothing may ask to install Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=${PENDREG_WINE64:-/usr/lib/wine/wine64}
wineserver=${PENDREG_WINESERVER:-/usr/lib/wine/wineserver}

stop() {
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null
    rm -rf "$prefix" "$prefix.lock"
}

# Starts the run's server, kept alive until --stop, so that one Wine launch
# per test costs a fraction of a second. Ten minutes after the last Wine
# program has ended it also goes by itself: ctest creates the prefix even when
# it only lists the tests, and then no --stop comes. Then, from a process of
# its own, wineboot creates or updates the prefix and starts Wine's services:
# started by a test instead, they would inherit ctest's output pipe and hold it
# open. Nothing here may hold the lock either.
ensure() {
    mkdir -p "$prefix"
    (
        flock 9
        if "$wineserver" -p600 </dev/null >/dev/null 2>&1 9>&-; then
            "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
        fi
        true
    ) 9>"$prefix.lock"
}

# A prefix is made once wineboot has set up its system folder and stamped it.
# (The registry files appear only when the server saves them.)
made() {
    [ -f "$prefix/.update-timestamp" ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]
}

# The new prefix starts as a copy of the template, when one is named.
copy_template() {
    local template=${PENDREG_WINE_TEMPLATE:-}
    [ -n "$template" ] || return 0
    [ -f "$template/.update-timestamp" ] || {
        echo "wine-run: the template prefix $template is not made" >&2
        return 1
    }
    mkdir -p "$(dirname "$prefix")" && cp -a "$template" "$prefix"
}

case "${1:-}" in
--fresh) stop; copy_template && ensure && made ;;
--ready)
    made || {
        echo "the Wine prefix $prefix was not made at the start of the run (see above)"
        exit 1
    }
    ensure
    ;;
--stop) stop ;;
*) ensure && exec "$wine" "$@" ;;
esac

#!/bin/bash
# Runs a Windows program under wine64 in a throwaway prefix of the test run's
# own, never ~/.wine.
#   wine-run.sh PREFIX PROGRAM [ARGS...]  run it (creating the prefix if missing)
#   wine-run.sh PREFIX --fresh            start the run: a new prefix, and a
#                                         wineserver kept alive until --stop
#   wine-run.sh PREFIX --stop             end the run: stop the server, remove the prefix
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
# per test costs a fraction of a second. Then, from a process of its own,
# wineboot creates or updates the prefix and starts Wine's services: started
# by a test instead, they would inherit ctest's output pipe and hold it open.
# Nothing here may hold the lock either.
ensure() {
    mkdir -p "$prefix"
    (
        flock 9
        if "$wineserver" -p </dev/null >/dev/null 2>&1 9>&-; then
            "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
        fi
        true
    ) 9>"$prefix.lock"
}

case "${1:-}" in
--fresh) stop; ensure ;;
--stop) stop ;;
*) ensure && exec "$wine" "$@" ;;
esac

#!/bin/bash
# Runs a Windows program under wine64 in a throwaway prefix of the test run's
# own, never ~/.wine.
#   wine-run.sh PREFIX PROGRAM [ARGS...]  run it (creating the prefix if missing)
#   wine-run.sh PREFIX --fresh            start the run: a new prefix, and a
#                                         wineserver kept alive until --stop;
#                                         waits while another run uses the prefix
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
    rm -rf "$prefix" "$prefix.lock" "$prefix.desktop"
}

# Every ctest run in a build folder begins with --fresh, which removes the
# prefix. A second ctest started there meanwhile (even one that only lists the
# tests) would pull the prefix from under the first run's tests, which then
# fail at once without a word: Wine cannot find the test program (exit status
# 53), and WINEDEBUG=-all keeps it from saying so. So the run that starts
# the prefix holds it until its ctest (the parent of --fresh) has ended, and a
# later one waits for it.
hold_for_run() {
    local run=$PPID
    exec 8>>"$prefix.run"
    if ! flock -n 8; then
        echo "wine-run: another ctest run uses the Wine prefix $prefix: waiting until it ends" >&2
        flock 8
    fi
    (while kill -0 "$run" 2>/dev/null; do sleep 1; done) </dev/null >/dev/null 2>&1 &
    exec 8>&-
}

# Wine closes a desktop a few seconds after the last program on it has ended,
# and its explorer with it. An explorer started again finds no display driver
# here and fails, and every later program that needs the desktop then waits
# for it, 3 to 10 s each (more under load). So the run keeps one idle program
# on the desktop, cmd.exe reading a pipe that nothing writes, from --fresh
# until its ctest (the parent of --fresh) has ended.
hold_desktop() {
    local run=$PPID holder
    rm -f "$prefix.desktop" && mkfifo "$prefix.desktop" || return 1
    "$wine" cmd.exe <>"$prefix.desktop" >/dev/null 2>&1 9>&- &
    holder=$!
    (while kill -0 "$run" 2>/dev/null; do sleep 1; done; kill "$holder") </dev/null >/dev/null 2>&1 &
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

# A prefix is made once wineboot has set up its system folder and stamped it,
# and drive Z:, through which Wine names the test program, is there. (The
# registry files appear only when the server saves them.)
made() {
    [ -f "$prefix/.update-timestamp" ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ] &&
        [ -e "$prefix/dosdevices/z:" ]
}

# The server's folder is named by the device and inode of the prefix, under
# /tmp/.wine-UID or, as Debian builds Wine, a /tmp/wine-* folder of the
# user's: a socket there means that a server for this prefix is listening.
server_state() {
    local name dir
    name=$(printf 'server-%s-%x' "$(stat -c %D "$prefix")" "$(stat -c %i "$prefix")")
    for dir in "/tmp/.wine-$(id -u)/$name" /tmp/wine-*/"$name"; do
        if [ -S "$dir/socket" ]; then
            echo "its server is listening"
            return
        fi
    done
    echo "no server is listening"
}

# Runs the program, and says why whenever it fails: a program that ends
# before it could print anything (Wine could not start it, or a signal ended
# it) leaves no other trace in the test's output.
#
# Now and then (twice in some 9,000 starts, under load) Wine's loader ends
# with exit status 1 within a few milliseconds and without a word, before
# any Windows program can have run: starting one takes 60 ms and more here.
# That start alone, the platform's and not the program's, is made once more,
# and the run says so each time.
run() {
    local started status elapsed attempt
    for attempt in 1 2; do
        started=$(date +%s%N)
        "$wine" "$@"
        status=$?
        elapsed=$((($(date +%s%N) - started) / 1000000))
        { [ "$attempt" = 1 ] && [ "$status" -eq 1 ] && [ "$elapsed" -lt 20 ]; } || break
        echo "wine-run: wine64 ${1##*/} ended with exit status 1 after $elapsed ms, before any" \
            "Windows program could run: Wine did not start it; starting it once more" >&2
    done
    if [ "$status" -ne 0 ]; then
        local how="exit status $status"
        [ "$status" -gt 128 ] && how="signal $(kill -l $((status - 128)) 2>/dev/null || echo $((status - 128)))"
        local prefix_state="the prefix is made"
        made || prefix_state="the prefix is not made, or no longer"
        echo "wine-run: wine64 ${1##*/} ended with $how after $elapsed ms; $prefix_state;" \
            "$(server_state)" >&2
    fi
    return "$status"
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
--fresh)
    hold_for_run
    stop
    copy_template && ensure && made && hold_desktop
    ;;
--ready)
    made || {
        echo "the Wine prefix $prefix was not made at the start of the run (see above)"
        exit 1
    }
    ensure
    ;;
--stop) stop ;;
*)
    ensure || {
        echo "wine-run: the Wine prefix $prefix could not be readied (status $?)" >&2
        exit 1
    }
    run "$@"
    ;;
esac

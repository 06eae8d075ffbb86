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
# Wine's messages stay off, but for its errors about the address space: the one
# way that a start can fail before any Windows program runs says why there.
export WINEDEBUG=-all,err+virtual
# Nothing may ask to install Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Debian's wine64 is a program at a fixed address (0x7d000000) and comes
# without Wine's preloader, so nothing keeps the C library's heap, which the
# kernel starts at a random place up to 1 GB above the program, off the page
# that Wine must map at 0x7ffe0000 for Windows' shared user data. About one
# start in 8,000 the heap lies there: the process ends within milliseconds with
# exit status 1 ("failed to map the shared user data: c0000018"), and a Windows
# program that started it sees CreateProcess fail with error 1359. So every
# Wine program here runs without address-space randomisation (setarch -R),
# which every process that it starts inherits; its heap then begins right
# above the program, far below that page.
wine=(setarch "$(uname -m)" -R "${PENDREG_WINE64:-/usr/lib/wine/wine64}")
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
    "${wine[@]}" cmd.exe <>"$prefix.desktop" >/dev/null 2>&1 9>&- &
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
            "${wine[@]}" wineboot -i </dev/null >/dev/null 2>&1 9>&-
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
run() {
    local started status elapsed
    started=$(date +%s%N)
    "${wine[@]}" "$@"
    status=$?
    elapsed=$((($(date +%s%N) - started) / 1000000))
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

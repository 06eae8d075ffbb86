#!/bin/bash
# The tool's main job, on the road an installer takes, in a throwaway Wine
# prefix, through pendreg-record.exe alone (no value written by hand):
#   1. the installer finds its component in use, so "replace" puts the new
#      version in place at the next restart; "arm" copies the tool to a folder
#      of its own and sets a RunOnce value that starts that copy with "/S";
#      "add" records the registrations in a work set (the component, an
#      executable server and a type library, kinds picked from the files) and
#      prints the command lines that the pass will start;
#   2. the inspector says what the pass will do, before the restart;
#   3. Wine's restart (wineboot -r) puts the new version in place and runs
#      RunOnce: the new version is registered with the command lines that
#      "add" printed, the records and the RunOnce value are gone and the
#      tool's copy is scheduled for deletion;
#   4. a second restart removes the tool's copy.
# Runs as root on Debian 12, with the x86_64 build (the tool reads the 64-bit
# view there, hence --view=64; the shipped 32-bit tool reads the 32-bit one).
# Exits non-zero when any of that did not happen.
set -eu
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 >/dev/null
build=$root/build/x86_64

work=$(mktemp -d /tmp/pendreg-main-job.XXXXXX)
prefix=$work/prefix
cleanup() {
    "$root/cmake/wine-run.sh" "$prefix" --stop
    rm -rf "$work"
}
trap cleanup EXIT

win() {
    "$root/cmake/wine-run.sh" "$prefix" "$@"
}
query() {
    win reg query "$@" 2>/dev/null | tr -d '\r' | sed '/^$/d; s/^/  /'
}
# Waits up to 30 s for a condition: what a restart starts may still be
# running when wineboot returns.
eventually() {
    local tries
    for tries in $(seq 60); do
        "$@" && return 0
        sleep 0.5
    done
    "$@"
}

pending_key='HKLM\Software\Zelk.Library.Cormant.v3'
run_once='HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce'
type_library='HKCR\TypeLib\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}'
session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'
failed=0
expect() { # name, then a command that succeeds when it holds
    local name=$1
    shift
    if "$@"; then echo "  ok   $name"; else echo "  FAIL $name"; failed=1; fi
}

echo "== A throwaway Wine prefix: $prefix"
# The server runs before anything is copied in: a server started later would
# carry out deletions scheduled by an earlier run.
win --fresh
app="$prefix/drive_c/Program Files/Demo"
setup=$prefix/drive_c/windows/temp/demo-setup
mkdir -p "$app" "$setup"
# Version 1 of the component registers nothing; version 2 records its
# registration in the log below.
cp "$build/tests/fixtures/noexport.dll" "$app/component.dll"
cp "$build/tests/fixtures/recorder.dll" "$app/component.new"
cp "$build/tests/fixtures/exeserver.exe" "$build/tests/fixtures/sample.tlb" "$app/"
cp "$build/pendreg.exe" "$build/pendreg-inspect.exe" "$build/pendreg-record.exe" "$setup/"
export PENDREG_TEST_LOG='C:\Program Files\Demo\registrations.log'
# Runs the recorder with the arguments after the name of the check that its
# exit code is 0, and shows what it printed.
record() {
    local name=$1 argument shown=pendreg-record.exe
    shift
    for argument in "$@"; do
        [[ $argument == *' '* ]] && argument="\"$argument\""
        shown+=" $argument"
    done
    echo "$shown"
    win 'C:\windows\temp\demo-setup\pendreg-record.exe' "$@" 2>&1 | tr -d '\r' |
        tee -a "$work/record.out" | sed 's/^/  /'
    expect "$name" test "${PIPESTATUS[0]}" -eq 0
}

echo "== The installer: component.dll is in use, so version 2 replaces it at restart"
# A program of the installer's product holds the component open meanwhile.
win "$build/tests/fixtures/holdopen.exe" 'C:\Program Files\Demo\component.dll' 'C:\Program Files\Demo\in-use' &
holder=$!
for tries in $(seq 100); do [ -e "$app/in-use" ] && break; sleep 0.2; done
record "replace: exit code 0" replace 'C:\Program Files\Demo\component.new' 'C:\Program Files\Demo\component.dll'
rm -f "$app/in-use"
wait $holder || true
record "arm: exit code 0" arm --name='Demo registrations'
# The copy that RunOnce starts, as arm printed it, and where it lies here.
copy=$(sed -n 's/^armed: .* starts "\(.*\)" \/S at the next logon$/\1/p' "$work/record.out")
copy_folder=$prefix/drive_c/windows/temp/$(basename "$(dirname "${copy//\\//}")")
echo "(--view=64 below: this is the x86_64 test build, which reads the 64-bit registry view; the"
echo " shipped tool is 32-bit and reads the 32-bit view, the recorder's and inspector's default)"
record "add: exit code 0" add --view=64 --work-set='Demo 1.0' 'C:\Program Files\Demo\component.dll' \
    'C:\Program Files\Demo\exeserver.exe' 'C:\Program Files\Demo\sample.tlb'

echo
echo "== Before the restart"
echo "Recorded by the installer ($pending_key):"
query "$pending_key" /s
echo "RunOnce:"
query "$run_once"
echo "Replaced at restart (PendingFileRenameOperations):"
query "$session_manager" /v PendingFileRenameOperations

echo
echo "== The inspector: C:\\windows\\temp\\demo-setup\\pendreg-inspect.exe --view=64 --tool=$copy"
win 'C:\windows\temp\demo-setup\pendreg-inspect.exe' --view=64 "--tool=$copy" | tr -d '\r' | sed 's/^/  /'
status=${PIPESTATUS[0]}
echo "  exit code: $status"
expect "the inspector finds nothing wrong" test "$status" -eq 0

echo
echo "== Restart (wineboot -r)"
win wineboot -r
registered() { grep -qi $'^register\tmodule=C:\\\\Program Files\\\\Demo\\\\component.dll' "$app/registrations.log" 2>/dev/null; }
key_gone() { ! win reg query "$pending_key" >/dev/null 2>&1; }
run_once_gone() { ! win reg query "$run_once" /v 'Demo registrations' >/dev/null 2>&1; }
scheduled() { query "$session_manager" /v PendingFileRenameOperations | grep -qiF "${copy#C:}"; }
# Every command line that add printed for the component and the server is
# one that a registration recorded as its process's own.
ran_as_printed() {
    local line
    while read -r line; do
        tr -d '
' <"$app/registrations.log" | grep -qF $'	cmdline='"$line" || return 1
    done < <(sed -n 's/^  entry [0-9]* ([DE]): runs //p' "$work/record.out")
}
eventually registered || true
echo "What got registered:"
tr -d '\r' <"$app/registrations.log" 2>/dev/null | cut -f1-3 | sed 's/^/  /' || true
echo "Type library:"
query "$type_library" /s
echo "Scheduled for the next restart:"
query "$session_manager" /v PendingFileRenameOperations
expect "version 2 of component.dll registered" registered
expect "the pass started the command lines that add printed" ran_as_printed
expect "the executable server ran with /regserver" grep -q $'^exe\tcmdline=.*/regserver' "$app/registrations.log"
expect "the type library registered" eval "win reg query '$type_library' >/dev/null 2>&1"
expect "the work set and the key are gone" eventually key_gone
expect "the RunOnce value is gone" run_once_gone
expect "the tool's copy is scheduled for deletion" eventually scheduled
expect "the tool's copy is still there until the next restart" test -f "$copy_folder/pendreg.exe"

echo
echo "== Second restart (wineboot -r)"
win wineboot -r
copy_gone() { [ ! -e "$copy_folder/pendreg.exe" ]; }
expect "the tool's copy is gone" eventually copy_gone

echo
if [ "$failed" -ne 0 ]; then
    echo "main job: FAILED"
    exit 1
fi
echo "main job: OK"

#!/bin/bash
# The WoW64 lane: the shipped 32-bit image runs one real pending pass in a
# 64-bit Wine prefix, under user-mode emulation. It proves the road only a
# 32-bit process takes: the shipped recorder writes the work set into the
# 32-bit view of the registry, picking each kind from the file as the process
# that registers it sees it; the key is read in that view; redirection is off
# around the 64-bit regsvr32.exe, and on again for the entry after it.
#
#   run-lane.sh WINE_RUN IMAGE32 FIXTURES32 FIXTURES64 WORK
# Exit 0: passed; 77: emulation cannot be set up here, or its packages are
# missing (skipped); else failed.
set -u
wine_run=$1 image=$2 fixtures32=$3 fixtures64=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/emulation.sh"

enter_lane "$0" "$@"
prefix=$work/prefix
trap '"$wine_run" "$prefix" --stop' EXIT

key='Software\Zelk.Library.Cormant.v3'
wine() { "$wine_run" "$prefix" "$@"; }
source "$here/../checks.sh"
elapsed() { echo "$(($(date +%s) - started)) s"; }

started=$(date +%s)
rm -rf "$work" && mkdir -p "$work"
"$wine_run" "$prefix" --fresh
[ -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ] || {
    echo "FAIL the prefix has no 32-bit side"
    exit 1
}
echo "prefix with its 32-bit side: $(elapsed)"

# The server is up before the tool is copied in: a server started later would
# carry out deletions scheduled by an earlier run.
lane=$prefix/drive_c/lane
mkdir -p "$lane"
cp "$image" "$lane/pendreg.exe"
cp "$(dirname "$image")/pendreg-record.exe" "$(dirname "$image")/pendreg-inspect.exe" "$lane/"
cp "$fixtures32/recorder.dll" "$lane/rec32.dll"
cp "$fixtures32/recorder.dll" "$lane/decoy.dll"
# The marked DLL, named by its path in the system folder: the 64-bit DLL lies
# in system32 and a 32-bit namesake in syswow64. Only with redirection off,
# as the 64-bit regsvr32.exe reads it, is the 64-bit one found.
cp "$fixtures64/recorder.dll" "$prefix/drive_c/windows/system32/pendmark.dll"
cp "$fixtures32/recorder.dll" "$prefix/drive_c/windows/syswow64/pendmark.dll"
# An executable server named by its path in the system folder, after the
# marked entry: with redirection back on, the 32-bit process gets the 32-bit
# server of syswow64; left off, it would get the 64-bit decoy of system32.
cp "$fixtures32/exeserver.exe" "$prefix/drive_c/windows/syswow64/pendsrv.exe"
cp "$fixtures64/exeserver.exe" "$prefix/drive_c/windows/system32/pendsrv.exe"

# The shipped recorder, as an installer runs it: a 32-bit program that
# writes the 32-bit view by default and picks each kind from the file.
started=$(date +%s)
wine 'C:\lane\pendreg-record.exe' add --work-set=lane 'C:\lane\rec32.dll' \
    'C:\windows\system32\pendmark.dll' 'C:\windows\system32\pendsrv.exe' >"$work/recorded.txt" 2>&1
recorded=$?
echo "recorder: $(elapsed), exit code $recorded"
tr -d '\r' <"$work/recorded.txt" | sed 's/^/  recorder: /'

# A key of the same name in the 64-bit view, written by a 64-bit program: a
# decoy the pass must not touch.
cat >"$lane/decoy.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Zelk.Library.Cormant.v3\decoy]
"count"=dword:00000001
"1.mode"="D"
"1.file"="C:\\lane\\decoy.dll"
REG
wine reg import 'C:\lane\decoy.reg' >/dev/null 2>&1

# The shipped inspector, as an installer runs it before asking for the
# restart: a 32-bit program that reads the 32-bit view by default.
started=$(date +%s)
wine 'C:\lane\pendreg-inspect.exe' >"$work/inspection.txt" 2>&1
inspected=$?
echo "inspector: $(elapsed), exit code $inspected"
tr -d '\r' <"$work/inspection.txt" | sed 's/^/  inspector: /'
lines_in() { # a file, then lines that must each be a whole line of it
    local file=$1 line
    shift
    for line in "$@"; do
        tr -d '\r' <"$file" | grep -qxF -- "$line" || { echo "missing: $line"; return 1; }
    done
}
shows() { lines_in "$work/inspection.txt" "$@"; }

started=$(date +%s)
(cd "$lane" && PENDREG_TEST_LOG='C:\lane\records.log' timeout 1200 "$wine_run" "$prefix" 'C:\lane\pendreg.exe' /S)
echo "pass of three entries: $(elapsed)"

log=$lane/records.log
tr -d '\r' <"$log" 2>/dev/null | sed 's/^/  log: /'
record_count() { tr -d '\r' <"$log" | grep -ci "$1"; }
once() { [ "$(record_count "$1")" = 1 ]; }
query() { wine reg query "$@" 2>/dev/null | tr -d '\r'; }

lines=(
    '  entry 1 (D): runs "C:\lane\pendreg.exe" /DC:\lane\rec32.dll'
    '  entry 2 (DX): runs "C:\windows\system32\regsvr32.exe" /s "C:\windows\system32\pendmark.dll"'
    '  entry 3 (E): runs "C:\windows\system32\pendsrv.exe" /regserver'
)
check "the 32-bit recorder picks D, DX for the 64-bit DLL of system32, and E, and prints the lines" \
    eval '[ "$recorded" = 0 ] && lines_in "$work/recorded.txt" "${lines[@]}"'
check "the 32-bit inspector shows the same command lines for the 32-bit view's work set" shows "${lines[@]}"
check "...and checks the files as the processes that register them see them: the 64-bit pendmark.dll of system32 with redirection off" shows \
    '    ok   32-bit DLL' '    ok   64-bit DLL' '    ok   32-bit executable'
check "...and reports the decoy as lying in the view the tool never reads, exit code 1" eval \
    "shows 'other view: work set \"decoy\" lies in the 64-bit view, which the tool never reads' && [ $inspected = 1 ]"
check "32-bit DLL registered once, in the tool's own 32-bit child" \
    once $'^register\tmodule=C:\\\\lane\\\\rec32.dll\tprocess=C:\\\\lane\\\\pendreg.exe\t.*\tbits=32\t'
check "marked DLL of system32 registered once by the 64-bit regsvr32.exe, started by the tool itself" \
    once $'^register\tmodule=C:\\\\windows\\\\system32\\\\pendmark.dll\tprocess=C:\\\\windows\\\\system32\\\\regsvr32.exe\tparent=C:\\\\lane\\\\pendreg.exe\tbits=64\t'
check "its 32-bit namesake of syswow64 not registered" test "$(record_count $'^register\t.*pendmark.dll\t.*\tbits=32\t')" = 0
check "server named in system32, after the marked DLL: the 32-bit one of syswow64 run once (redirection on again)" \
    once $'^exe\tcmdline="C:\\\\windows\\\\system32\\\\pendsrv.exe" /regserver\tbits=32$'
check "the 64-bit decoy of system32 not run" test "$(record_count $'^exe\t.*\tbits=64$')" = 0
check "the 64-bit view's decoy entry not run" test "$(record_count decoy)" = 0
check "the key in the 32-bit view is gone" eval "! wine reg query 'HKLM\\Software\\Wow6432Node\\Zelk.Library.Cormant.v3'"
check "the decoy key in the 64-bit view is untouched" eval "query 'HKLM\\$key\\decoy' /v 1.file | grep -q decoy.dll"
check "the tool's own file is scheduled for deletion" eval \
    "query 'HKLM\\System\\CurrentControlSet\\Control\\Session Manager' /v PendingFileRenameOperations | grep -qi 'lane.pendreg.exe'"

[ "$failures" -eq 0 ]

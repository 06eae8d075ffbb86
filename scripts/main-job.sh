#!/bin/bash
# The tool's main job, end to end, in a throwaway Wine prefix: an installer
# records one work set (a DLL, an executable server and a type library) by
# importing a .reg file, the tool runs "/S", and the script shows what got
# registered, that the pending key is gone and that the tool's own file is
# scheduled for deletion at restart. Runs as root on Debian 12; exits non-zero
# when any of that did not happen.
set -eu
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
cmake --preset x86_64
cmake --build --preset x86_64
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

pending_key='HKLM\Software\Zelk.Library.Cormant.v3'
type_library='HKCR\TypeLib\{6F1C2B7E-93A4-4D05-B8E1-52C0D9A7E314}'
session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'

echo "== A throwaway Wine prefix: $prefix"
# The server runs before the tool is copied in: a server started later would
# carry out deletions scheduled by an earlier run, the tool's own among them.
win --fresh
demo=$prefix/drive_c/pendreg-demo
mkdir -p "$demo"
cp "$build/pendreg.exe" "$build/tests/fixtures/recorder.dll" \
    "$build/tests/fixtures/exeserver.exe" "$build/tests/fixtures/sample.tlb" "$demo/"

# What an installer records: one work set, its entries run in this order.
printf '%s\r\n' \
    'Windows Registry Editor Version 5.00' \
    '' \
    '[HKEY_LOCAL_MACHINE\Software\Zelk.Library.Cormant.v3\Demo]' \
    '"count"=dword:00000003' \
    '"1.mode"="D"' \
    '"1.file"="C:\\pendreg-demo\\recorder.dll"' \
    '"2.mode"="E"' \
    '"2.file"="C:\\pendreg-demo\\exeserver.exe"' \
    '"3.mode"="T"' \
    '"3.file"="C:\\pendreg-demo\\sample.tlb"' \
    >"$demo/pending.reg"
win regedit /S 'C:\pendreg-demo\pending.reg'

echo
echo "== Recorded by the installer ($pending_key):"
win reg query "$pending_key" /s

# The sample DLL and executable server append what they saw to this file.
export PENDREG_TEST_LOG='C:\pendreg-demo\registrations.log'
echo "== Running: C:\\pendreg-demo\\pendreg.exe /S"
status=0
win 'C:\pendreg-demo\pendreg.exe' /S || status=$?
echo "exit code: $status"

failed=0
echo
echo "== What got registered:"
if [ -s "$demo/registrations.log" ]; then
    tr -d '\r' <"$demo/registrations.log" | sed 's/^/  /'
else
    echo "  (the DLL and the executable server recorded nothing)"
    failed=1
fi
grep -q '^register' "$demo/registrations.log" 2>/dev/null || failed=1
grep -q '^exe.*/regserver' "$demo/registrations.log" 2>/dev/null || failed=1
echo "  type library:"
win reg query "$type_library" /s || failed=1

echo "== The pending key:"
if win reg query "$pending_key" >/dev/null 2>&1; then
    echo "  still there"
    failed=1
else
    echo "  gone"
fi

echo "== Scheduled for deletion at restart (PendingFileRenameOperations):"
scheduled=$(win reg query "$session_manager" /v PendingFileRenameOperations 2>/dev/null || true)
echo "$scheduled" | tr -d '\r' | sed -n 's/^ *PendingFileRenameOperations *REG_MULTI_SZ *//p' |
    sed 's/\\0/\n/g' | sed '/^$/d; s/^/  /'
echo "$scheduled" | grep -qi 'pendreg-demo\\pendreg.exe' || failed=1

echo
if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ]; then
    echo "main job: FAILED"
    exit 1
fi
echo "main job: OK"

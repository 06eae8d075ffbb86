#!/bin/bash
# Static checks of the shipped image: what it is, where it starts, what it
# imports. Usage: check-image.sh OBJDUMP IMAGE MAPFILE ENTRY_SYMBOL
set -u
objdump=$1 image=$2 map=$3 entry=$4
headers=$("$objdump" -p "$image") || { echo "FAIL: cannot read $image"; exit 1; }
sections=$("$objdump" -h "$image")

source "$(dirname "$0")/../checks.sh"
header_value() { awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"; }
hex() { printf '%d' "0x$1"; }
max_size=6656

entry_address() { # the entry symbol's address, from the linker map
    # The map leaves out the leading underscore of 32-bit C names.
    awk -v sym="$entry" '$2 == sym || "_" $2 == sym { print $1; exit }' "$map"
}
entry_matches() {
    local rva base symbol
    rva=$(hex "$(header_value AddressOfEntryPoint)")
    base=$(hex "$(header_value ImageBase)")
    symbol=$(entry_address)
    [ -n "$symbol" ] && [ $((base + rva)) -eq $((symbol)) ]
}
flags_set() {
    local flags
    flags=$(hex "$(header_value DllCharacteristics)")
    [ $((flags & 0x40)) -ne 0 ] && [ $((flags & 0x100)) -ne 0 ]
}
directory_empty() { # a data directory entry of the optional header is 0 0
    grep -E "^Entry [0-9a-f]+ 0+ 0+ $1" <<<"$headers"
}
imports_only_allowed() {
    local dll
    while read -r dll; do
        case "${dll^^}" in
        KERNEL32.DLL | ADVAPI32.DLL | USER32.DLL | OLE32.DLL | OLEAUT32.DLL) ;;
        *) echo "unexpected import: $dll"; return 1 ;;
        esac
    done < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
}

check "PE32 image for i386" grep -q 'file format pei-i386' <<<"$headers"
check "optional header magic 010b (PE32)" test "$(header_value Magic)" = 010b
check "GUI subsystem" grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers"
check "entry point is $entry" entry_matches
check "DYNAMIC_BASE and NX_COMPAT set" flags_set
check "no .rsrc section" test -z "$(grep -w '\.rsrc' <<<"$sections")"
check "no resource directory" directory_empty 'Resource Directory'
check "no TLS section or directory" eval "! grep -qw '\.tls' <<<\"\$sections\" && directory_empty 'Thread Storage Directory'"
check "imports only from the five system DLLs" imports_only_allowed
check "relocations kept for ASLR" grep -qw '\.reloc' <<<"$sections"
# The image is settled: it may not grow, nor import anything it does not
# import now. imports.txt lists "DLL function" per line.
check "no larger than $max_size bytes" test "$(stat -c %s "$image")" -le "$max_size"
check "imports exactly the functions of imports.txt" diff "$(dirname "$0")/imports.txt" \
    <(awk '/DLL Name:/ { dll = $3; next } /^$/ { dll = "" }
           dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF }' <<<"$headers" | sort)

echo "image: $image, $(stat -c %s "$image") bytes"
[ "$failures" -eq 0 ]

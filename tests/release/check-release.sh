#!/bin/bash
# Makes the release of a build folder and checks the zip: exactly the six
# files, sums that verify, the image, the inspector and the recorder that were
# built, each companion no larger than the limit that lets installers embed
# it, and a user document that carries the installer's guide and whose
# figures are those of the image, read here with a parser of its own.
# Usage: check-release.sh CMAKE BUILD_DIR ZIP IMAGE OBJDUMP INSPECTOR RECORDER COMPANION_LIMIT
set -u
cmake=$1 build_dir=$2 zip=$3 image=$4 objdump=$5 inspector=$6 recorder=$7 limit=$8
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

log=$(mktemp)
if ! "$cmake" --build "$build_dir" --target release >"$log" 2>&1; then
    cat "$log"
    echo "FAIL: the release target"
    exit 1
fi
rm -f "$log"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/../checks.sh"
same() { # what, expected, actual; lists of lines are shown as a diff
    [ -n "$2" ] && [ "$2" = "$3" ] && return 0
    if [[ $2 == *$'\n'* ]]; then
        diff <(echo "$2") <(echo "$3")
    else
        printf 'expected: %s\nactual:   %s\n' "$2" "$3"
    fi
    return 1
}

members=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
top=$(basename "$zip" .zip)
check "the zip holds one folder, $top, with pendreg.exe, pendreg-inspect.exe, pendreg-record.exe, pendreg.wxi, README.txt and SHA256SUMS only" \
    same "zip members" "$top/README.txt $top/SHA256SUMS $top/pendreg-inspect.exe $top/pendreg-record.exe $top/pendreg.exe $top/pendreg.wxi " "$members"
unzip -q "$zip" -d "$work/unpacked" || exit 1
cd "$work/unpacked/$top" || exit 1
check "SHA256SUMS verifies" sha256sum -c --strict SHA256SUMS
check "SHA256SUMS covers the image, the inspector, the recorder, the include and the document" \
    same "sums" "README.txt pendreg-inspect.exe pendreg-record.exe pendreg.exe pendreg.wxi " \
    "$(awk '{ print $2 }' SHA256SUMS | sort | tr '\n' ' ')"
zip_sum_verifies() { (cd "$(dirname "$zip")" && sha256sum -c --strict "$(basename "$zip").sha256"); }
check "the zip's sum beside it verifies" zip_sum_verifies
check "the zip ships the image that was built" cmp pendreg.exe "$image"
check "the zip ships the inspector that was built" cmp pendreg-inspect.exe "$inspector"
check "the zip ships the recorder that was built" cmp pendreg-record.exe "$recorder"
check "the zip ships the Windows Installer include of the sources" cmp pendreg.wxi "$source_dir/docs/pendreg.wxi"
at_most() { # file, bytes
    local size
    size=$(stat -c %s "$1")
    [ "$size" -le "$2" ] || { echo "$1: $size bytes, more than $2"; return 1; }
}
check "the inspector is at most $limit bytes" at_most pendreg-inspect.exe "$limit"
check "the recorder is at most $limit bytes" at_most pendreg-record.exe "$limit"

# Notepad of older Windows shows a line that ends in LF alone run into the next.
crlf_throughout() { # every line ends with CR LF, the last one too
    ! grep -q -v $'\r$' "$1" && [ "$(tail -c 2 "$1" | od -An -tx1)" = " 0d 0a" ]
}
check "the document ends every line with CR LF" crlf_throughout README.txt
# Only what an installer author has: no path of the sources, no test's name.
# The names are those of the repository itself: its top folders, and the
# suites and tests of the test program (a plain word such as "Installer"
# excepted, as prose has it too).
source_folders() {
    find "$source_dir" -mindepth 1 -maxdepth 1 -type d ! -name '.*' ! -name build -printf '%f\n' |
        sort | paste -sd '|'
}
test_names() {
    sed -n -E 's/^(TEST(_P|_F)?|INSTANTIATE_TEST_SUITE_P)\( *([A-Za-z0-9_]+), *([A-Za-z0-9_]+).*/\3\n\4/p' \
        "$source_dir"/tests/*.cpp | grep -E '^[A-Z][a-z0-9]+[A-Z]' | sort -u | paste -sd '|'
}
authors_text_only() {
    ! grep -n -E '[a-z]+/[A-Za-z]+\.(h|cpp)\b|Test\.[A-Z][A-Za-z]+' README.txt &&
        ! grep -n -E "(^|[^A-Za-z0-9_.-])($(source_folders))/" README.txt &&
        ! grep -n -w -E "$(test_names)" README.txt
}
check "the document names no source file and no test" authors_text_only
guide_carried() { # the installer's guide, whole, inside the document
    cmp -s <(tr -d '\r' <README.txt | sed -n '/^# pendreg: the installer/,/^Checking the files$/p' | head -n -3) "$source_dir/docs/installer-guide.md"
}
check "the document carries the installer's guide, road first" guide_carried

# The document's figures, from its last section, and the same figures read
# from the image with objdump.
facts=$(tr -d '\r' <README.txt | sed -n '/^The image$/,$p')
doc_field() { sed -n "s/^  $1  *//p" <<<"$facts" | head -n 1; }
doc_imports() { # "DLL function" per line, wrapped lines joined
    awk '/^  Imports$/ { on = 1; next }
         on && /^    [^ ]/ { dll = $1; sub(/:$/, "", dll); first = 2 }
         on && /^      [^ ]/ { first = 1 }
         on { for (i = first; i <= NF; i++) print dll, $i }' <<<"$facts" | sort
}
headers=$("$objdump" -p pendreg.exe)
header_value() { awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"; }
image_subsystem() {
    sed -n 's/^Subsystem[[:space:]]*0*\([0-9a-f]*\)[[:space:]]*\(.*\)$/\1 \2/p' <<<"$headers"
}
image_flags() { # the value, then the names objdump lists below it
    awk '$1 == "DllCharacteristics" { printf "0x%s", $2; on = 1; next }
         on && /^\t+[A-Z_]+$/ { printf " %s", $1; next }
         { on = 0 }' <<<"$headers"
}
image_resources() {
    grep -Eq '^Entry 2 0+ 0+ Resource Directory' <<<"$headers" && echo none || echo present
}
image_imports() {
    awk '/DLL Name:/ { dll = $3; next }
         /^$/ { dll = "" }
         dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF }' <<<"$headers" | sort
}

check "document: size" same "size" "$(stat -c %s "$image") bytes" "$(doc_field Size)"
check "document: format" same "format" \
    "$(awk '$1 == "Magic" { gsub(/[()]/, "", $3); print $3 }' <<<"$headers") ($(awk '/file format/ { print $NF }' <<<"$headers"))" \
    "$(doc_field Format)"
check "document: subsystem" same "subsystem" "$(image_subsystem)" "$(doc_field Subsystem)"
check "document: DllCharacteristics" same "flags" "$(image_flags)" \
    "$(doc_field DllCharacteristics)"
check "document: entry point" same "entry" "RVA 0x$(header_value AddressOfEntryPoint)" \
    "$(doc_field 'Entry point' | cut -d' ' -f1-2)"
check "document: resources" same "resources" "$(image_resources)" \
    "$(doc_field Resources | cut -d, -f1)"
check "document: imports" same "imports" "$(image_imports)" "$(doc_imports)"

echo "release: $zip, $(stat -c %s "$zip") bytes"
[ "$failures" -eq 0 ]

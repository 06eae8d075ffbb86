#!/bin/bash
# The shared checks lie in one folder per question, and a folder's files use
# only their own folder and the folders below it, in the order of layers
# below, from the bottom up: so each folder reads, and builds, on top of
# those below it, and no two files need each other (the dependency checks and
# the checks of an entry once included each other for the context they
# share). The companions' own code sits around them: a companion's own copy
# below every check (the type-library probe runs in it), the rest above.
# Read from every #include "checks/..." and "companion/..." line of checks/
# and companion/; a header and its source count as one file.
#   check-layers.sh SOURCE_DIR
set -u
source_dir=$1
. "$(dirname "$0")/checks.sh"

layers=(text paths renames image trust loader entry arming)
below_checks=companion/OwnCopy

# The layer of a file or header by its path: 0 below the checks, then one per
# folder of checks/, then the rest of the companions' code; empty, with the
# reason on standard output, for a file that lies in no layer.
layer_of() {
    local path=$1 unit=${1%.*} index folder
    case $path in
    "$below_checks".*)
        echo 0
        ;;
    companion/*)
        echo $((${#layers[@]} + 1))
        ;;
    checks/*/*)
        folder=${path#checks/}
        folder=${folder%%/*}
        for index in "${!layers[@]}"; do
            if [ "${layers[$index]}" = "$folder" ]; then
                echo $((index + 1))
                return
            fi
        done
        echo "$unit: checks/$folder is in no layer of $(basename "$0")" >&2
        ;;
    *)
        echo "$unit: lies in no folder of checks/" >&2
        ;;
    esac
}

# One line per include: the including file and the included header, relative
# to the source folder.
includes() {
    local file
    (cd "$source_dir" && find checks companion -name '*.h' -o -name '*.cpp') | sort |
        while read -r file; do
            sed -n 's/^#include "\(\(checks\|companion\)\/[^"]*\)".*/\1/p' "$source_dir/$file" |
                while read -r header; do
                    echo "$file $header"
                done
        done
}

no_include_above() {
    local file header from to wrong=0
    while read -r file header; do
        if [ ! -f "$source_dir/$header" ]; then
            echo "$file includes $header, which is not there"
            wrong=1
            continue
        fi
        from=$(layer_of "$file" 2>&1)
        to=$(layer_of "$header" 2>&1)
        if [[ ! $from =~ ^[0-9]+$ ]] || [[ ! $to =~ ^[0-9]+$ ]]; then
            [[ $from =~ ^[0-9]+$ ]] || echo "$from"
            [[ $to =~ ^[0-9]+$ ]] || echo "$to"
            wrong=1
        elif ((to > from)); then
            echo "$file includes $header, which lies in a layer above its own"
            wrong=1
        fi
    done < <(includes)
    [ "$wrong" = 0 ] ||
        echo "the layers from the bottom up: $below_checks, checks/{${layers[*]}}, companion"
    [ "$wrong" = 0 ]
}

declare -A edges state
stack=()
cyclic=0

# Depth first from unit; a unit met again while it is still on the stack
# closes a cycle, which is said from that unit round to it again.
visit() {
    local unit=$1 next index
    state[$unit]=open
    stack+=("$unit")
    for next in ${edges[$unit]:-}; do
        if [ "${state[$next]:-}" = open ]; then
            for index in "${!stack[@]}"; do
                if [ "${stack[$index]}" = "$next" ]; then
                    printf 'include cycle: '
                    printf '%s -> ' "${stack[@]:$index}"
                    echo "$next"
                fi
            done
            cyclic=1
        elif [ -z "${state[$next]:-}" ]; then
            visit "$next"
        fi
    done
    unset 'stack[${#stack[@]}-1]'
    state[$unit]=done
}

no_include_cycle() {
    local file header unit
    while read -r file header; do
        unit=${file%.*}
        [ "$unit" = "${header%.*}" ] || edges[$unit]+=" ${header%.*}"
    done < <(includes)
    for unit in "${!edges[@]}"; do
        [ -n "${state[$unit]:-}" ] || visit "$unit"
    done
    [ "$cyclic" = 0 ]
}

check "no file of checks/ or companion/ includes a header of a layer above its own" no_include_above
check "no files of checks/ or companion/ include each other, however indirectly" no_include_cycle
[ "$failures" -eq 0 ]

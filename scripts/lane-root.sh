#!/bin/bash
# Makes, or makes again, the Debian root that the WoW64 lane runs in: the
# system's own suite (main only, never its security or update suites, whose
# 32-bit indexes are not always served whole), for amd64 and i386, holding
# the 64-bit and 32-bit Wine and qemu's user-mode emulator. The host gets no
# i386 architecture and no 32-bit package from it. Called as root by
# scripts/setup.sh --lane.
#
#   lane-root.sh          make the root unless the one there was made from
#                         the same mirror, suite and package list
#   lane-root.sh --path   print where the root lies, and nothing else
#
# The root lies in PENDREG_LANE_ROOT (default /var/cache/pendreg/lane-root),
# outside any build tree; beside it, in "<root>-prefix", a Wine prefix with
# its 32-bit side, made once in the root, which every lane run copies instead
# of spending minutes of emulation on a new one. Each is made beside its place
# under a ".part" name and takes that place only when complete, with its stamp
# in it: one without the stamp of what it was made from is never used, and a
# ".part" left by a run that was cut short is thrown away.
#
# Exit 0: the root is there; 1: it could not be made, with one last line on
# standard error, "setup: cannot make the WoW64 lane's root: ...".
set -uo pipefail
root=${PENDREG_LANE_ROOT:-/var/cache/pendreg/lane-root}
if [ "${1:-}" = --path ]; then
    echo "$root"
    exit 0
fi
packages=wine64,wine32:i386,libwine:i386,qemu-user-static
architectures=amd64,i386

fail() {
    echo "setup: cannot make the WoW64 lane's root: $*" >&2
    exit 1
}

# The suite the host itself runs, and the mirror its own apt sources take
# that suite from: the root is made of what the machine is already allowed
# to fetch.
. /etc/os-release
suite=${VERSION_CODENAME:-}
[ -n "$suite" ] || fail "/etc/os-release names no release"
mirror=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Identifier: Packages' |
    awk -v suite="$suite" '$1 == suite { print $2; exit }')
[ -n "$mirror" ] || fail "no apt source of this machine serves the suite $suite"

stamp="suite=$suite mirror=$mirror components=main architectures=$architectures packages=$packages"
template=$root-prefix
template_stamp="$stamp prefix=wineboot-i"
stamped() { [ "$(cat "$1" 2>/dev/null)" = "$2" ]; }
# One maker at a time: a second waits, then finds the root made.
mkdir -p "$(dirname "$root")" || fail "cannot make the folder $(dirname "$root")"
exec 9>"$root.lock"
flock 9
if stamped "$root/.pendreg-lane-stamp" "$stamp" && stamped "$template/.pendreg-prefix-stamp" "$template_stamp"; then
    exit 0
fi
part=$root.part
log=$(mktemp)
trap 'rm -f "$log"; rm -rf "$part" "$template.part"' EXIT
started=$(date +%s)

# The root: Debian's own packages, nothing of ours.
make_root() {
    command -v mmdebstrap >/dev/null || fail "mmdebstrap is not installed (bash scripts/setup.sh --lane installs it)"
    echo "Making the WoW64 lane's root in $root (a few minutes): $stamp"
    rm -rf "$part" "$template"
    if ! mmdebstrap --mode=root --variant=apt --architectures="$architectures" --include="$packages" \
        "$suite" "$part" "deb $mirror $suite main" >"$log" 2>&1; then
        local reason
        reason=$(grep -E '^E: ' "$log" | tail -1)
        fail "${reason:-mmdebstrap failed: $(tail -1 "$log")}"
    fi
    local program
    for program in usr/lib/wine/wine usr/lib/wine/wine64 usr/bin/qemu-i386-static; do
        [ -x "$part/$program" ] || fail "mmdebstrap ended, but /$program is missing from the root"
    done
    echo "$stamp" >"$part/.pendreg-lane-stamp"
    rm -rf "$root"
    mv "$part" "$root" || fail "cannot move $part to $root"
}

# The prefix, made by the root's Wine under the lane's emulation, as the
# tests' own script makes one (no Mono, no Gecko). The server is left to end
# by itself: only then has the 32-bit side, which wineboot sets up in the
# background, finished, and the registry been saved.
make_template() {
    echo "Making the WoW64 lane's template Wine prefix in $template (a few minutes)"
    rm -rf "$template.part"
    source "$(dirname "$0")/../tests/wow64/emulation.sh"
    with_emulation /bin/bash -c 'export WINEPREFIX=$0 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" &&
        /usr/lib/wine/wine64 wineboot -i && /usr/lib/wine/wineserver -w' "$template.part" >"$log" 2>&1 ||
        fail "Wine could not make a prefix in it: $(tail -1 "$log")"
    local file
    for file in .update-timestamp system.reg drive_c/windows/system32/kernel32.dll \
        drive_c/windows/syswow64/kernel32.dll; do
        [ -e "$template.part/$file" ] || fail "wineboot ended, but the prefix has no $file"
    done
    echo "$template_stamp" >"$template.part/.pendreg-prefix-stamp"
    rm -rf "$template"
    mv "$template.part" "$template" || fail "cannot move $template.part to $template"
}

stamped "$root/.pendreg-lane-stamp" "$stamp" || make_root
stamped "$template/.pendreg-prefix-stamp" "$template_stamp" || make_template
echo "The WoW64 lane's root is made: $(du -sh "$root" | cut -f1), with its prefix, in $(($(date +%s) - started)) s"

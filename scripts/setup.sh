#!/bin/bash
# Installs what building and testing need on Debian 12, as root. Quiet when
# everything is there already. The tests themselves never install anything.
#
#   setup.sh          what the build, the fast suite and the main job need
#   setup.sh --lane   what the WoW64 lane needs: mmdebstrap on the host, and
#                     the lane's own Debian root, made by scripts/lane-root.sh
#
# Exit 0: installed; 1: a package could not be installed, with one last line
# on standard error, "setup: cannot install ...", naming it and apt's reason.
set -uo pipefail
# locales: the source of the Japanese locale that the code page 932 tests
# build into the build folder for themselves. clang and lld: the one fixture
# with a delay-import directory, which GNU ld leaves empty. msitools and wixl:
# the Windows Installer package that the installer's whole life is tried with.
# jq: the real parser that the tests read the companions' JSON documents with.
packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 googletest zip unzip
          locales clang lld msitools wixl jq)
# The WoW64 lane runs Debian's 32-bit Wine under qemu's user-mode emulator,
# in a root of its own: the host needs only the program that makes it.
lane_packages=(mmdebstrap)

missing_from() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$package"
    done
}

# One index that fails to download (a mirror in the middle of a sync) makes
# apt-get update fail as a whole, though the others are fresh. It is tried a
# few times; then the install goes on with what was fetched, and only a
# package that cannot be had from that fails the set-up.
update_indexes() {
    local attempt
    for attempt in 1 2 3; do
        apt-get update -q 2>&1 | tee "$log" && return 0
        [ $attempt -lt 3 ] && echo "setup: apt-get update failed (attempt $attempt of 3), retrying in $((attempt * 10)) s"
        [ $attempt -lt 3 ] && sleep $((attempt * 10))
    done
    failed_index=$(grep -m1 '^E: Failed to fetch' "$log" | sed 's/^E: Failed to fetch //')
    echo "setup: going on without the indexes that failed to download${failed_index:+: $failed_index}"
}

# apt's reason for not installing one package, on one line.
apt_reason() {
    apt-get install -s -q "${install_options[@]}" "$1" 2>&1 | grep '^E: ' | tail -1 | sed 's/^E: //'
}

# Installs the packages; on failure names each one apt cannot install, and
# why, the last line saying it all.
install_packages() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${install_options[@]}" "$@" && return 0
    local package reason refused=()
    for package in "$@"; do
        reason=$(apt_reason "$package")
        [ -n "$reason" ] || continue
        refused+=("$package ($reason)")
    done
    [ ${#refused[@]} -gt 0 ] || refused=("$* (apt-get install failed)")
    local because=${failed_index:+; an index failed to download: $failed_index}
    echo "setup: cannot install ${refused[*]}$because" >&2
    return 1
}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
failed_index=
if [ "${1:-}" = --lane ]; then
    missing=($(missing_from "${lane_packages[@]}"))
    [ ${#missing[@]} -eq 0 ] && exec bash "$(dirname "$0")/lane-root.sh"
    echo "Installing for the WoW64 lane: ${missing[*]}"
    install_options=(--no-remove --no-install-recommends)
else
    missing=($(missing_from "${packages[@]}"))
    [ ${#missing[@]} -eq 0 ] && exit 0
    echo "Installing: ${missing[*]}"
    # With recommends: Wine is tested here with them installed. The host has
    # no i386 architecture, so wine64's recommendation of the 32-bit Wine
    # brings nothing: that lives in the lane's root.
    install_options=(--no-remove)
fi
update_indexes
install_packages "${missing[@]}" || exit 1
[ "${1:-}" = --lane ] && exec bash "$(dirname "$0")/lane-root.sh"
exit 0

#!/bin/bash
# Installs everything that building, testing and the WoW64 lane need on
# Debian 12, as root. Quiet when everything is there already. The tests
# themselves never install anything.
set -eu
# locales: the source of the Japanese locale that the code page 932 tests
# build into the build folder for themselves. clang and lld: the one fixture
# with a delay-import directory, which GNU ld leaves empty.
packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 googletest zip unzip
          locales clang lld)
# The WoW64 lane runs Debian's 32-bit Wine under qemu's user-mode emulator.
lane_packages=(qemu-user-static wine32:i386)

missing_from() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$package"
    done
}

missing=($(missing_from "${packages[@]}"))
lane_missing=($(missing_from "${lane_packages[@]}"))
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    # With recommends: Wine is tested here with them installed. Done before
    # the i386 architecture is added, so that wine64's recommendation of the
    # 32-bit Wine does not pull that in with all of its own recommendations.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi
if [ ${#lane_missing[@]} -gt 0 ]; then
    echo "Installing for the WoW64 lane: ${lane_missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${lane_missing[@]}"
fi

#!/bin/bash
# Installs what building and testing need on Debian 12, as root. Quiet when
# everything is there already.
set -eu
packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64 googletest zip unzip)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    # With recommends: Wine is tested here with them installed.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

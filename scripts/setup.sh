#!/usr/bin/env bash
# Installs everything the build, the tests and the main job need on Debian 12 (run as root; idempotent),
# and fetches zlib's minizip sources from Debian's zlib source package without touching the system's
# apt source lists.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
          wine wine64 xvfb xauth xdotool x11-apps x11-utils imagemagick nlohmann-json3-dev googletest cmake
          ninja-build dpkg-dev python3-cryptography osslsigncode openssl curl unzip bc clang-format)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

deps="$repo/.deps"
if [ ! -f "$deps/zlib/contrib/minizip/unzip.c" ]; then
    mkdir -p "$deps/apt/lists/partial"
    cd "$deps/apt"
    mirror=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources | head -n 1 | awk '{print $1}')
    fi
    if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
        mirror=$(awk '$1=="deb" {for (i=2;i<=NF;i++) if ($i ~ /^https?:/) {print $i; exit}}' /etc/apt/sources.list)
    fi
    [ -n "$mirror" ] || { echo "No Debian mirror found in the apt configuration" >&2; exit 1; }
    echo "deb-src $mirror bookworm main" > sources.list
    apt_opts=(-o Dir::Etc::SourceList="$PWD/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::State::Lists="$PWD/lists")
    apt-get "${apt_opts[@]}" update -qq
    apt-get "${apt_opts[@]}" source --download-only zlib >/dev/null
    rm -rf "$deps/zlib"
    dpkg-source -x --no-check zlib_*.dsc "$deps/zlib" >/dev/null
fi
echo "Setup complete."

#!/bin/sh
# Makes a Wine prefix trust the development portal's test CA (current user's Root
# store, through the registry) and optionally proves it with a real WinHTTP request.
set -eu

usage() {
    cat <<'USAGE'
usage: trust-prefix.sh PREFIX CA.pem [--verify URL]

Writes PREFIX/devportal-ca.reg with trust-ca-reg.py and imports it with
`wine reg import`. With --verify, builds https-probe.exe (x86_64-w64-mingw32-gcc-posix,
once, into PREFIX/devportal-bin/) and fetches URL through WinHTTP; any HTTP status
counts as success, a TLS failure (Wine: 12157) fails the script.
The prefix must exist (wineboot -i). Wine runs with WINEDEBUG=-all and its output
kept off the caller's pipes.
USAGE
}

case "${1:-}" in -h|--help) usage; exit 0 ;; esac
[ $# -eq 2 ] || { [ $# -eq 4 ] && [ "$3" = --verify ]; } || { usage >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
prefix=$(cd "$1" && pwd)
ca=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d

out=$(mktemp)
trap 'rm -f "$out"' EXIT
run() {
    if ! "$@" </dev/null >"$out" 2>&1; then
        cat "$out" >&2
        return 1
    fi
}

/usr/bin/python3 "$here/trust-ca-reg.py" "$ca" "$prefix/devportal-ca.reg"
run wine reg import "$prefix/devportal-ca.reg"

if [ $# -eq 4 ]; then
    probe=$prefix/devportal-bin/https-probe.exe
    if [ ! -f "$probe" ] || [ "$here/https-probe.c" -nt "$probe" ]; then
        mkdir -p "$prefix/devportal-bin"
        x86_64-w64-mingw32-gcc-posix -municode -O2 -static -o "$probe" "$here/https-probe.c" -lwinhttp
    fi
    if run wine "$probe" "$4"; then
        cat "$out"
    else
        echo "trust-prefix.sh: HTTPS request to $4 failed inside the prefix" >&2
        exit 1
    fi
fi

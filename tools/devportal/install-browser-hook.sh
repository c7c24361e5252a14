#!/bin/sh
# Makes a Wine prefix open web addresses with a script instead of a real browser, so
# the launcher's browser sign-in runs unattended.
set -eu

usage() {
    cat <<'USAGE'
usage: install-browser-hook.sh PREFIX SCRIPT [CA [LOG]]

Sets HKCU\Software\Wine\WineBrowser "Browsers" in the Wine prefix PREFIX to SCRIPT
(normally tools/devportal/headless-browser.sh). With CA, also writes
PREFIX/headless-browser.conf (CA=..., LOG=..., default LOG PREFIX/headless-browser.log)
and registers "SCRIPT --config PREFIX/headless-browser.conf", so the browser finds its
settings whoever starts the launcher. Runs wine with WINEDEBUG=-all and its output
kept off the caller's pipes.
USAGE
}

case "${1:-}" in -h|--help) usage; exit 0 ;; esac
[ $# -ge 2 ] && [ $# -le 4 ] || { usage >&2; exit 2; }

abspath() { (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")"); }

prefix=$(cd "$1" && pwd)
script=$(abspath "$2")
[ -x "$script" ] || { echo "install-browser-hook.sh: $script is not executable" >&2; exit 1; }

check_path() {
    case $1 in
        *,*|*\"*) echo "install-browser-hook.sh: $1: commas and double quotes cannot be registered (Wine splits the list at commas)" >&2; exit 1 ;;
    esac
}

check_path "$script"
command="\"$script\""
if [ $# -ge 3 ]; then
    ca=$(abspath "$3")
    [ -f "$ca" ] || { echo "install-browser-hook.sh: $ca not found" >&2; exit 1; }
    log=${4:-$prefix/headless-browser.log}
    case $log in /*) ;; *) log=$(abspath "$log") ;; esac
    conf=$prefix/headless-browser.conf
    check_path "$conf"
    printf 'CA=%s\nLOG=%s\n' "$ca" "$log" >"$conf.tmp"
    mv "$conf.tmp" "$conf"
    command="$command --config \"$conf\""
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d \
    wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /t REG_SZ /d "$command" /f \
    </dev/null >"$out" 2>&1; then
    cat "$out" >&2
    exit 1
fi
echo "$command"

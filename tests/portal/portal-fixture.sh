#!/bin/sh
# Starts and stops the development portal that a build tree's Windows tests talk to: test
# certificates, the Wine prefix's trust in their CA, the headless browser hook, a fresh data folder
# and the portal itself on the port compiled into the program.
#
# usage: portal-fixture.sh start STATE_DIR PORT
#        portal-fixture.sh stop STATE_DIR
# start needs WINEPREFIX (an initialised prefix). Every environment variable named
# TESSARO_PORTAL_DATA_HOOK_* names a further script that is run with the data folder as its only
# argument before the portal starts (other subsystems add their releases that way).
# Files in STATE_DIR: certs/, data/, portal.pid, portal.port, portal.log (request log, JSON lines),
# portal.out (the portal's own output), browser.log (what the headless browser did).
set -eu

usage() { sed -n '2,12s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in -h|--help) usage; exit 0 ;; esac

repo=$(cd "$(dirname "$0")/../.." && pwd)
devportal=$repo/tools/devportal

stop_portal() {
    pidfile=$1/portal.pid
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile")
    # Only the portal this state folder started, never a process that reused the number.
    if [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "devportal.py serve --data $1/data"; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
}

start_portal() {
    state=$1 port=$2
    [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/system.reg" ] ||
        { echo "portal-fixture.sh: WINEPREFIX must name an initialised Wine prefix" >&2; exit 1; }
    mkdir -p "$state"
    stop_portal "$state"

    "$devportal/make-certs.sh" "$state/certs"
    "$devportal/trust-prefix.sh" "$WINEPREFIX" "$state/certs/ca.pem"
    "$devportal/install-browser-hook.sh" "$WINEPREFIX" "$devportal/headless-browser.sh" \
        "$state/certs/ca.pem" "$state/browser.log" >/dev/null

    rm -rf "$state/data.new"
    "$repo/tests/portal/make-portal-data.sh" "$state/data.new"
    env | sed -n 's/^TESSARO_PORTAL_DATA_HOOK_[A-Za-z0-9_]*=//p' | while IFS= read -r hook; do
        "$hook" "$state/data.new"
    done
    rm -rf "$state/data"
    mv "$state/data.new" "$state/data"

    rm -f "$state/portal.port"
    : >"$state/portal.log"
    # Detached from ctest's pipes and process group: the portal outlives this script.
    setsid /usr/bin/python3 "$devportal/devportal.py" serve --data "$state/data" \
        --cert "$state/certs/server.pem" --key "$state/certs/server.key" --port "$port" \
        --port-file "$state/portal.port" --log "$state/portal.log" \
        </dev/null >"$state/portal.out" 2>&1 &
    echo $! >"$state/portal.pid"
    for _ in $(seq 1 200); do
        [ -f "$state/portal.port" ] && { echo "development portal on https://127.0.0.1:$port"; return 0; }
        kill -0 "$(cat "$state/portal.pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "portal-fixture.sh: the portal did not start on port $port:" >&2
    cat "$state/portal.out" >&2
    stop_portal "$state"
    exit 1
}

case "${1:-}" in
    start) [ $# -eq 3 ] || { usage >&2; exit 2; }; start_portal "$(realpath -m "$2")" "$3" ;;
    stop) [ $# -eq 2 ] || { usage >&2; exit 2; }; stop_portal "$(realpath -m "$2")" ;;
    *) usage >&2; exit 2 ;;
esac

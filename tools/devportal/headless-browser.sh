#!/bin/sh
# Stands in for the user's web browser in sign-in tests under Wine. Wine's winebrowser
# runs it with the address the launcher opened as the last argument; it fetches the
# portal's sign-in address (which signs in at once and redirects) and then calls the
# loopback callback the way a browser would follow that redirect.
#
# usage: headless-browser.sh [--config FILE] URL
#
# Settings, later sources winning:
#   headless-browser.conf beside this script, if present
#   environment: TESSARO_BROWSER_CA, TESSARO_BROWSER_LOG, TESSARO_BROWSER_MODE,
#                TESSARO_BROWSER_DELAY, or TESSARO_BROWSER_CONFIG naming a config file
#   --config FILE (what install-browser-hook.sh registers: Wine passes the launcher's
#                environment through, but a file does not depend on who started it)
# Config file lines: KEY=VALUE with keys CA (test CA certificate, required), LOG (file
# to append to; default stderr), MODE ("follow", default, or "ignore": open nothing,
# like a user who never signs in), DELAY (seconds to wait before following).
set -u

here=$(cd "$(dirname "$0")" && pwd)
CA= LOG= MODE=follow DELAY=0

read_config() {
    [ -f "$1" ] || { echo "headless-browser.sh: config $1 not found" >&2; return 1; }
    while IFS= read -r line || [ -n "$line" ]; do
        case $line in
            ''|'#'*) continue ;;
            CA=*) CA=${line#CA=} ;;
            LOG=*) LOG=${line#LOG=} ;;
            MODE=*) MODE=${line#MODE=} ;;
            DELAY=*) DELAY=${line#DELAY=} ;;
        esac
    done <"$1"
}

[ -f "$here/headless-browser.conf" ] && read_config "$here/headless-browser.conf"
[ -n "${TESSARO_BROWSER_CONFIG:-}" ] && read_config "$TESSARO_BROWSER_CONFIG"
CA=${TESSARO_BROWSER_CA:-$CA}
LOG=${TESSARO_BROWSER_LOG:-$LOG}
MODE=${TESSARO_BROWSER_MODE:-$MODE}
DELAY=${TESSARO_BROWSER_DELAY:-$DELAY}

case "${1:-}" in
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    --config) read_config "${2:-}" || exit 2; shift 2 ;;
esac
[ $# -eq 1 ] || { echo "usage: headless-browser.sh [--config FILE] URL" >&2; exit 2; }
url=$1

log() {
    line="$(date -u +%Y-%m-%dT%H:%M:%SZ) $*"
    if [ -n "$LOG" ]; then echo "$line" >>"$LOG"; else echo "$line" >&2; fi
}

log "open $url"
if [ "$MODE" = ignore ]; then
    log "mode ignore: nothing fetched"
    exit 0
fi
if [ -z "$CA" ] || [ ! -f "$CA" ]; then
    log "error: no CA certificate configured (CA=$CA)"
    exit 1
fi
case $url in
    https://*) ;;
    *) log "error: refusing a non-HTTPS address"; exit 1 ;;
esac
[ "$DELAY" = 0 ] || sleep "$DELAY"

# Proxies from the environment must not see loopback traffic; --cacert alone decides
# trust, whatever CURL_CA_BUNDLE says.
err=$(mktemp)
trap 'rm -f "$err"' EXIT
out=$(curl -sS --noproxy '*' --max-time 30 --cacert "$CA" -o /dev/null \
    -w '%{http_code} %{redirect_url}' "$url" 2>"$err")
rc=$?
status=${out%% *}
location=${out#* }
log "authorize rc=$rc status=$status location=$location $(tr '\n' ' ' <"$err")"
[ "$rc" -eq 0 ] && [ "$status" = 302 ] || exit 1

case $location in
    http://127.0.0.1:*|http://localhost:*) ;;
    *) log "error: redirect leaves the loopback callback"; exit 1 ;;
esac
answer=$(curl -sS --noproxy '*' --max-time 30 -w '\n%{http_code}' "$location" 2>"$err")
rc=$?
log "callback rc=$rc status=$(echo "$answer" | tail -n 1) body=$(echo "$answer" | sed '$d' | tr '\n' ' ') $(tr '\n' ' ' <"$err")"
[ "$rc" -eq 0 ] || exit 1
exit 0

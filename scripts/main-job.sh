#!/usr/bin/env bash
# The main job: builds what is missing, starts the development portal on loopback with a demo release
# of the test application, puts TESSARO.exe into a fresh Wine prefix's Downloads folder as a user's
# download and runs it with --install <demo release>: sign-in through the headless browser, install,
# setup, switch and the confirmed start of the application. Prints the progress lines of the status
# line, takes screenshots, closes the window and stops what it started.
#
# usage: scripts/main-job.sh [--keep-open] [BUILD_DIR]
#   --keep-open   leave the window open for a person at a real display (DISPLAY must be set)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
keep_open=0
if [ "${1:-}" = "--keep-open" ]; then keep_open=1; shift; fi
build="${1:-$repo/build}"

bash "$repo/scripts/setup.sh"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target TESSARO tessaro_testapp window_probe_tool

job="$build/main-job"
rm -rf "$job"
mkdir -p "$job/screenshots"
source "$repo/scripts/wine-env.sh" "$build"
export WINEPREFIX="$job/wineprefix"
probe() { wine "$build/bin/window_probe_tool.exe" "$@" 2>/dev/null | tr -d '\r'; }

cleanup() {
    wine "$build/bin/window_probe_tool.exe" wait-window 1 >/dev/null 2>&1 && probe click 114 || true
    "$repo/tests/portal/portal-fixture.sh" stop "$job/portal" || true
    tessaro_stop_wine
}
trap cleanup EXIT

if [ "$keep_open" = 1 ] && [ -n "${DISPLAY:-}" ]; then :; else tessaro_start_display; fi
echo "Wine prefix: $WINEPREFIX (display $DISPLAY)"
tessaro_prepare_prefix

# The demo release: the test application as it confirms its start at once.
demo_id=$(cat /proc/sys/kernel/random/uuid)
cat > "$job/publish-demo.sh" <<HOOK
#!/bin/sh
set -eu
publish() { /usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py" "\$@"; }
tree=\$(mktemp -d)
cp "$build/testapp/appTESSARO.exe" "\$tree/"
publish release --data "\$1" --from "\$tree" --release-id "$demo_id" --channel stable \
    --version 2026.10.0 --build-id 2026.10.0.1 --authenticode-policy unsigned >/dev/null
publish catalog --data "\$1" --channel stable --generation 7 --force --recommended "$demo_id" >/dev/null
publish launcher --data "\$1" --exe "$build/bin/TESSARO.exe" --version 1.0.2 --build-id main-job \
    --authenticode-policy unsigned >/dev/null
rm -rf "\$tree"
HOOK
chmod +x "$job/publish-demo.sh"
port=$(sed -n 's/^TESSARO_PORTAL_BASE_ADDRESS:[A-Z]*=https:\/\/[^:]*:\([0-9]*\).*/\1/p' "$build/CMakeCache.txt")
TESSARO_PORTAL_DATA_HOOK_0="$job/publish-demo.sh" "$repo/tests/portal/portal-fixture.sh" start "$job/portal" "$port"

downloads="$WINEPREFIX/drive_c/users/$USER/Downloads"
[ -d "$downloads" ] || downloads="$WINEPREFIX/drive_c/users/${USER:-root}/Downloads"
mkdir -p "$downloads"
cp "$build/bin/TESSARO.exe" "$downloads/TESSARO.exe"
echo "Starting the downloaded TESSARO.exe --install $demo_id"
(cd "$downloads" && wine "$downloads/TESSARO.exe" --install "$demo_id" </dev/null >/dev/null 2>&1 &)

probe wait-window 60000 >/dev/null || { echo "The window did not open" >&2; exit 1; }
shot() { import -window root -display "$DISPLAY" "$job/screenshots/$1.png" 2>/dev/null || true; }
shot 01-started
last="" shots=0 result=1
for _ in $(seq 1 1200); do
    status=$(probe status || true)
    if [ -n "$status" ] && [ "$status" != "$last" ]; then
        printf '  | %s\n' "${status//$'\n'/ | }"
        last=$status
        if [ "$shots" -lt 6 ]; then shots=$((shots + 1)); shot "$(printf '%02d' $((shots + 1)))-progress"; fi
    fi
    if probe rows | grep -q $'\tAusgewählt$'; then result=0; break; fi
    sleep 0.5
done
sleep 1
shot 09-finished
echo "Version list:"
probe rows | sed 's/^/  /'
local_app="$WINEPREFIX/drive_c/users/${USER:-root}/AppData/Local"
echo
echo "Screenshots:      $job/screenshots"
echo "Installed files:  $local_app/Programs/CORVALIS/TESSARO"
echo "State documents:  $local_app/CORVALIS/TESSARO/Updater"
echo "Portal log:       $job/portal/portal.log"
if [ "$keep_open" = 1 ]; then
    echo "The window stays open; press Enter to close it and stop the portal."
    read -r _
fi
[ "$result" = 0 ] && echo "Main job: the demo release is installed, selected and started." ||
    { echo "Main job: the demo release did not reach the state 'Ausgewählt'." >&2; exit 1; }

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
if [ "$keep_open" = 1 ] && [ -z "${DISPLAY:-}" ]; then
    echo "--keep-open needs a real display (DISPLAY is not set)" >&2
    exit 2
fi

bash "$repo/scripts/setup.sh"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTESSARO_DEVELOPMENT_BUILD=ON >/dev/null
cmake --build "$build" --target TESSARO tessaro_testapp window_probe_tool
# Wine refuses a relative prefix path, and the prefix lives in the build folder.
build="$(cd "$build" && pwd)"

job="$build/main-job"
source "$repo/scripts/wine-env.sh" "$build"
export WINEPREFIX="$job/wineprefix"
wineserver -k >/dev/null 2>&1 || true
"$repo/tests/portal/portal-fixture.sh" stop "$job/portal" 2>/dev/null || true
rm -rf "$job"
mkdir -p "$job/screenshots"

probe() { wine "$build/bin/window_probe_tool.exe" "$@" 2>/dev/null | tr -d '\r'; }
window_open() { wine "$build/bin/window_probe_tool.exe" wait-window "$1" >/dev/null 2>&1; }
shot() { wine "$build/bin/window_probe_tool.exe" screenshot "$(winepath -w "$job/screenshots/$1.png")" \
             >/dev/null 2>&1 || echo "  (no screenshot $1)"; }

cleanup() {
    if window_open 100; then
        probe click 114 >/dev/null || true
        for _ in $(seq 1 100); do window_open 100 || break; sleep 0.2; done
    fi
    "$repo/tests/portal/portal-fixture.sh" stop "$job/portal" || true
    tessaro_stop_wine
}
trap cleanup EXIT

[ "$keep_open" = 1 ] || tessaro_start_display
tessaro_prepare_prefix
echo "Wine prefix: $WINEPREFIX (display $DISPLAY)"

# The demo release: the test application, which confirms its start at once, and 24 MiB of sample data
# (so that the download shows its percentage line), recommended in the stable
# catalog; and the signed launcher release of this TESSARO.exe, which setup requires.
demo_id=$(cat /proc/sys/kernel/random/uuid)
version=$(sed -n 's/^TESSARO_LAUNCHER_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
cat > "$job/publish-demo.sh" <<HOOK
#!/bin/sh
set -eu
publish() { /usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py" "\$@"; }
tree=\$(mktemp -d)
cp "$build/testapp/appTESSARO.exe" "\$tree/"
mkdir "\$tree/data"
head -c 25165824 /dev/urandom > "\$tree/data/sample-project.bin"
publish release --data "\$1" --from "\$tree" --release-id "$demo_id" --channel stable \\
    --version 2026.10.0 --build-id 2026.10.0.1 --authenticode-policy unsigned >/dev/null
publish catalog --data "\$1" --channel stable --force --recommended "$demo_id" >/dev/null
publish launcher --data "\$1" --exe "$build/bin/TESSARO.exe" --version "$version" --build-id main-job \\
    --authenticode-policy unsigned >/dev/null
rm -rf "\$tree"
HOOK
chmod +x "$job/publish-demo.sh"
port=$(sed -n 's/^TESSARO_PORTAL_BASE_ADDRESS:[A-Z]*=https:\/\/[^:]*:\([0-9]*\).*/\1/p' "$build/CMakeCache.txt")
TESSARO_PORTAL_DATA_HOOK_0="$job/publish-demo.sh" "$repo/tests/portal/portal-fixture.sh" start "$job/portal" "$port"

user_folder=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
downloads="$user_folder/Downloads"
mkdir -p "$downloads"
cp "$build/bin/TESSARO.exe" "$downloads/TESSARO.exe"
echo "Starting the downloaded TESSARO.exe --install $demo_id"
(cd "$downloads" && wine "$downloads/TESSARO.exe" --install "$demo_id" </dev/null >"$job/tessaro.out" 2>&1 &)

window_open 60000 || { echo "The window did not open" >&2; exit 1; }
echo "Status line:"
result=0
wine "$build/bin/window_probe_tool.exe" watch "$(winepath -w "$job/screenshots")" 600000 2>/dev/null |
    tr -d '\r' || result=1
shot finished
echo "Version list:"
probe rows | sed 's/^/  /'

local_app="$user_folder/AppData/Local"
echo
echo "Screenshots:      $job/screenshots"
echo "Installed files:  $local_app/Programs/CORVALIS/TESSARO"
echo "State documents:  $local_app/CORVALIS/TESSARO/Updater"
echo "Portal log:       $job/portal/portal.log"
if [ "$keep_open" = 1 ]; then
    echo "The window stays open; press Enter to close it and stop the portal."
    read -r _
fi
if [ "$result" = 0 ]; then
    echo "Main job: the demo release is installed, selected and started."
else
    echo "Main job: the demo release did not reach the state 'Ausgewählt'." >&2
    exit 1
fi

# Sourced by the scripts: the private Wine prefix of a build tree and a virtual display.
# Usage: source scripts/wine-env.sh BUILD_DIR
tessaro_build="$(cd "$1" && pwd)"
export WINEPREFIX="$tessaro_build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winemenubuilder.exe=d}"
export WINEARCH=win64

# Creates the prefix once (Windows 10 reporting) and leaves a warm wineserver running, detached from
# our pipes so ctest never waits on Wine's service processes. Safe under errexit; says what failed.
tessaro_prepare_prefix() {
    if [ ! -f "$WINEPREFIX/.tessaro-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1 || { echo "wine-env.sh: wineboot -i failed for $WINEPREFIX" >&2; return 1; }
        wine winecfg -v win10 </dev/null >/dev/null 2>&1 || { echo "wine-env.sh: winecfg -v win10 failed" >&2; return 1; }
        wineserver -w
        touch "$WINEPREFIX/.tessaro-ready"
    fi
    tessaro_unlink_user_folders
    # Refused when a server of this prefix runs already (an earlier run or a benchmark left one):
    # that one serves.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 || { echo "wine-env.sh: Wine does not start programs in $WINEPREFIX" >&2; return 1; }
}

# A new prefix links the user's Desktop, Documents, Downloads, ... to the host's home folder; programs
# in the prefix must not write there, so each such link becomes an empty folder of the prefix.
tessaro_unlink_user_folders() {
    local folder
    for folder in "$WINEPREFIX"/drive_c/users/*/*; do
        if [ -L "$folder" ]; then
            rm "$folder"
            mkdir "$folder"
        fi
    done
}

# Starts Xvfb on a free display unless one is usable already.
tessaro_start_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return
    fi
    local n
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
            TESSARO_XVFB_PID=$!
            export DISPLAY=":$n"
            for _ in $(seq 1 50); do
                [ -e "/tmp/.X11-unix/X$n" ] && return
                sleep 0.1
            done
        fi
    done
    echo "Xvfb could not be started" >&2
    return 1
}

tessaro_stop_wine() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "${TESSARO_XVFB_PID:-}" ]; then
        kill "$TESSARO_XVFB_PID" 2>/dev/null || true
    fi
}

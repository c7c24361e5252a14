# Sourced by the scripts: the private Wine prefix of a build tree and a virtual display.
# Usage: source scripts/wine-env.sh BUILD_DIR
tessaro_build="$(cd "$1" && pwd)"
export WINEPREFIX="$tessaro_build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winemenubuilder.exe=d}"
export WINEARCH=win64

# Creates the prefix once (Windows 10 reporting) and leaves a warm wineserver running, detached from
# our pipes so ctest never waits on Wine's service processes. The prefix is made as wineboot makes it
# for a user: Desktop, Documents, Downloads, ... are links to the XDG user folders of a home folder,
# here a private one next to the prefix, so nothing a program in the prefix writes lands in the host's
# home. A marker of an earlier kind means a prefix with those links replaced: it is made again. Safe
# under errexit; says what failed.
tessaro_prepare_prefix() {
    if [ ! -f "$WINEPREFIX/.tessaro-ready-2" ]; then
        rm -rf "$WINEPREFIX" "$WINEPREFIX-home"
        tessaro_make_private_home "$WINEPREFIX-home"
        HOME="$WINEPREFIX-home" XDG_CONFIG_HOME="$WINEPREFIX-home/.config" wineboot -i </dev/null >/dev/null 2>&1 ||
            { echo "wine-env.sh: wineboot -i failed for $WINEPREFIX" >&2; return 1; }
        HOME="$WINEPREFIX-home" XDG_CONFIG_HOME="$WINEPREFIX-home/.config" wine winecfg -v win10 </dev/null >/dev/null 2>&1 ||
            { echo "wine-env.sh: winecfg -v win10 failed" >&2; return 1; }
        wineserver -w
        touch "$WINEPREFIX/.tessaro-ready-2"
    fi
    # Refused when a server of this prefix runs already (an earlier run or a benchmark left one):
    # that one serves.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 || { echo "wine-env.sh: Wine does not start programs in $WINEPREFIX" >&2; return 1; }
    tessaro_match_window_manager
}

# Our own Xvfb (TESSARO_DISPLAY_UNMANAGED, also in the scripts started from ours) has no window
# manager, and Wine's X11 driver then waits two seconds for a manager's answer whenever a window is
# hidden or destroyed: every message box, every program's end (on Windows that is instant). On such a
# display the prefix's windows are left unmanaged; on a display of the user's, whose manager answers,
# they stay managed. Call after tessaro_start_display.
tessaro_match_window_manager() {
    local key='HKCU\Software\Wine\X11 Driver'
    if [ -n "${TESSARO_DISPLAY_UNMANAGED:-}" ]; then
        wine reg add "$key" /v Managed /d N /f </dev/null >/dev/null 2>&1 ||
            { echo "wine-env.sh: the X11 driver setting could not be written" >&2; return 1; }
    else
        wine reg delete "$key" /v Managed /f </dev/null >/dev/null 2>&1 || true
    fi
}

# A home folder with one XDG user folder per kind, each its own folder, and the file that names them.
tessaro_make_private_home() {
    local home="$1" entry
    mkdir -p "$home/.config"
    : >"$home/.config/user-dirs.dirs"
    for entry in DESKTOP:Desktop DOWNLOAD:Downloads DOCUMENTS:Documents MUSIC:Music PICTURES:Pictures \
                 VIDEOS:Videos TEMPLATES:Templates PUBLICSHARE:Public; do
        mkdir -p "$home/${entry#*:}"
        echo "XDG_${entry%%:*}_DIR=\"$home/${entry#*:}\"" >>"$home/.config/user-dirs.dirs"
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
            # Scripts started from here share the display and know it has no window manager.
            export DISPLAY=":$n" TESSARO_DISPLAY_UNMANAGED=1
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

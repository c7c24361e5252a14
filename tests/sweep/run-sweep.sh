#!/usr/bin/env bash
# Runs the kill-point sweep beside the other tests: the test prefix is copied (with a private home, so
# the copies' desktops and documents are their own), the sweep's portal starts on its own port, and
# SHARDS drivers run side by side, each in its own prefix, taking every SHARDS-th kill point. Prints
# one line per operation and the total; fails when a kill point was not recovered.
# usage: run-sweep.sh BUILD_DIR SHARDS PORT [OPERATION]   (with OPERATION only that one is swept)
set -euo pipefail
build=$(cd "$1" && pwd) shards=$2 port=$3 only=${4:-}
repo=$(cd "$(dirname "$0")/../.." && pwd)
sweep=$build/sweep
export WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d WINEARCH=win64
[ -f "$build/wineprefix/.tessaro-ready-2" ] || { echo "run-sweep.sh: the test prefix is not ready" >&2; exit 1; }

prefixes=() displays=()
stop_all() {
    for prefix in "${prefixes[@]}"; do WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; done
    for pid in "${displays[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$repo/tests/portal/portal-fixture.sh" stop "$sweep/portal" || true
}
trap stop_all EXIT

# A copy of a prefix whose user folders point into a copy of its home.
copy_prefix() {
    local from=$1 to=$2 link target
    rm -rf "$to" "$to-home"
    cp -a "$from" "$to"
    cp -a "$from-home" "$to-home"
    while IFS= read -r link; do
        target=$(readlink "$link")
        case $target in "$from-home"*) ln -sfn "$to-home${target#"$from-home"}" "$link" ;; esac
    done < <(find "$to/drive_c/users" -maxdepth 3 -type l)
    prefixes+=("$to")
}

# A virtual display of its own for each shard: windows of two prefixes on one display disturb each
# other's message boxes.
start_display() {
    local n
    for n in $(seq 150 250); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
            displays+=($!)
            for _ in $(seq 1 50); do
                [ -e "/tmp/.X11-unix/X$n" ] && { display=":$n"; return 0; }
                sleep 0.1
            done
        fi
    done
    echo "run-sweep.sh: no virtual display" >&2
    return 1
}

started=$(date +%s)
copy_prefix "$build/wineprefix" "$sweep/prefix-0"
WINEPREFIX=$sweep/prefix-0 "$repo/tests/portal/portal-fixture.sh" start "$sweep/portal" "$port" >/dev/null
# The shards' displays have no window manager: see tessaro_match_window_manager in scripts/wine-env.sh.
WINEPREFIX=$sweep/prefix-0 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
WINEPREFIX=$sweep/prefix-0 wineserver -w
for ((shard = 1; shard < shards; shard++)); do
    copy_prefix "$sweep/prefix-0" "$sweep/prefix-$shard"
done

# The shards meet here before they take the shared portal down (sweep_driver.cpp).
rm -rf "$sweep/portal-down"
pids=()
for ((shard = 0; shard < shards; shard++)); do
    start_display
    (
        export WINEPREFIX=$sweep/prefix-$shard DISPLAY=$display
        wineserver -p </dev/null >/dev/null 2>&1 || true
        wine cmd /c exit </dev/null >/dev/null 2>&1
        wine "$sweep/bin/sweep_driver.exe" "$shard" "$shards" $only </dev/null >"$sweep/shard-$shard.log" 2>&1
    ) &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

cat "$sweep"/shard-*.log | grep '^FAIL' || true
cat "$sweep"/shard-*.log | awk '
    /^[a-z0-9-]+: [0-9]+ kill points, [0-9]+ recovered/ {
        name = substr($1, 1, length($1) - 1)
        if (!(name in points)) order[++count] = name
        points[name] += $2; recovered[name] += $5
    }
    END {
        for (i = 1; i <= count; i++) {
            printf "%s: %d kill points, %d recovered\n", order[i], points[order[i]], recovered[order[i]]
            all += points[order[i]]; good += recovered[order[i]]
        }
        printf "%d kill points, %d recovered\n", all, good
    }'
echo "sweep took $(( $(date +%s) - started )) s"
exit $status

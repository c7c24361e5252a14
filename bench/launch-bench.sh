#!/usr/bin/env bash
# What users feel at every start: launch mode re-verifies every file of the active version before it
# starts the application. Times the installed launcher from its start to the application's confirmed
# start (the process ends right after it) on a version of about 200 MiB in 1,000 files, next to
# sha256sum over the same folder, and prints the ratio.
#
# usage: bench/launch-bench.sh [BUILD_DIR] [RUNS]
# BUILD_DIR (default build) must hold bin/TESSARO.exe and testapp/appTESSARO.exe. The version is
# published once into BUILD_DIR/bench-launch and installed into the build's Wine prefix for the run;
# the prefix's launcher, current.json and journal are put back afterwards. RUNS defaults to 3 (medians;
# the sides take turns, each after sync; sha256sum runs on one core and on all cores).
# With BENCH_RESULTS set, appends key=value lines for bench/run-all.sh to that file.
set -eEuo pipefail
trap 'echo "launch-bench.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)"
runs="${2:-${RUNS:-3}}"
launcher="$build/bin/TESSARO.exe"
app="$build/testapp/appTESSARO.exe"
for file in "$launcher" "$app"; do
    [ -f "$file" ] || { echo "launch-bench.sh: $file missing (cmake --build $build)" >&2; exit 1; }
done

source "$repo/scripts/wine-env.sh" "$build"
tessaro_prepare_prefix

bench="$build/bench-launch"
release=5f0c2a1e-8b7d-4c3a-9e6f-00000000a200
tree="$bench/tree"
stamp="$(sha256sum "$app" | cut -c1-64)"
if [ "$(cat "$bench/stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$bench"
    mkdir -p "$tree/data"
    cp "$app" "$tree/appTESSARO.exe"
    printf '{"rollbackSafe":true,"afterStartMs":0}' >"$tree/testapp-behaviour.json"
    printf '{"buildId":"bench","engine":"tessaro-desktop"}' >"$tree/delivery-manifest.json"
    # 997 files of random content (nothing for a cache or a compressor to shortcut), about 200 MiB.
    for i in $(seq -w 1 997); do
        head -c 210000 /dev/urandom >"$tree/data/part-$i.bin"
    done
    /usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py" release --data "$bench/portal" --from "$tree" \
        --release-id "$release" --channel stable --version 9.9.9 --build-id bench \
        --authenticode-policy unsigned >/dev/null
    echo "$stamp" >"$bench/stamp"
fi

local_app_data="$(winepath -u "$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')")"
install_root="$local_app_data/Programs/CORVALIS/TESSARO"
data_root="$local_app_data/CORVALIS/TESSARO/Updater"
mkdir -p "$install_root/releases" "$data_root/receipts" "$data_root/downloads"
saved=("$install_root/TESSARO.exe" "$data_root/current.json" "$data_root/journal.json")
for file in "${saved[@]}"; do
    [ -e "$file" ] && mv "$file" "$file.launch-bench"
done
restore() {
    rm -rf "$install_root/releases/$release" "$data_root/receipts/$release.json"
    for file in "${saved[@]}"; do
        rm -f "$file"
        [ -e "$file.launch-bench" ] && mv "$file.launch-bench" "$file"
    done
    return 0
}
trap restore EXIT
cp "$launcher" "$install_root/TESSARO.exe"
cp -r "$tree" "$install_root/releases/$release"
cp "$bench/portal/releases/$release/manifest.json" "$data_root/receipts/$release.json"
files=$(find "$install_root/releases/$release" -type f | wc -l)
bytes=$(du -sb "$install_root/releases/$release" | cut -f1)

seconds() { date +%s.%N; }
figures() { /usr/bin/python3 "$repo/bench/figures.py" "$@"; }
joined() { local IFS=,; echo "$*"; }
elapsed() { echo "$2 - $1" | bc -l; }
version="$install_root/releases/$release"

# The sides take turns, each starting after sync: the launch, sha256sum on one core, on all cores.
launch_times=() sha_times=() all_core_times=()
for run in $(seq 1 "$runs"); do
    printf '{"active":"%s","pending":false}' "$release" >"$data_root/current.json"
    sync
    start=$(seconds)
    wine "$install_root/TESSARO.exe" </dev/null >/dev/null 2>&1 ||
        { echo "launch-bench.sh: launch $run of $runs ended with exit code $?" >&2; exit 1; }
    end=$(seconds)
    grep -q '"lastGood"' "$data_root/current.json" || { echo "launch-bench.sh: start not confirmed" >&2; exit 1; }
    launch_times+=("$(elapsed "$start" "$end")")
    # Let the test application leave before the next launch (a running one refuses the start).
    sleep 0.5

    sync
    start=$(seconds)
    find "$version" -type f -print0 | xargs -0 sha256sum >/dev/null
    sha_times+=("$(elapsed "$start" "$(seconds)")")
    sync
    start=$(seconds)
    find "$version" -type f -print0 | xargs -0 -P "$(nproc)" -n 100 sha256sum >/dev/null
    all_core_times+=("$(elapsed "$start" "$(seconds)")")
done

ratios=$(figures ratios "$(joined "${launch_times[@]}")" "$(joined "${sha_times[@]}")")
all_core_ratios=$(figures ratios "$(joined "${launch_times[@]}")" "$(joined "${all_core_times[@]}")")
printf 'version folder: %d files, %.1f MiB (warm file cache, median of %d runs)\n' "$files" \
    "$(echo "$bytes / 1048576" | bc -l)" "$runs"
printf 'launch mode, start to confirmed start: %.3f s (runs %s)\n' "$(figures median "${launch_times[@]}")" "${launch_times[*]}"
printf 'sha256sum over the same folder:        %.3f s (runs %s)\n' "$(figures median "${sha_times[@]}")" "${sha_times[*]}"
printf 'the same on %d cores:                   %.3f s (runs %s)\n' "$(nproc)" "$(figures median "${all_core_times[@]}")" "${all_core_times[*]}"
printf 'ratio launch / sha256sum:              %s (runs %s); on all cores %s (runs %s)\n' \
    "$(figures median $ratios)" "$ratios" "$(figures median $all_core_ratios)" "$all_core_ratios"
if [ -n "${BENCH_RESULTS:-}" ]; then
    {
        figures record launch_program_s "${launch_times[@]}"
        figures record launch_reference_s "${sha_times[@]}"
        figures record launch_reference_all_s "${all_core_times[@]}"
        figures record launch_ratio $ratios
        figures record launch_ratio_all $all_core_ratios
    } >>"$BENCH_RESULTS"
fi

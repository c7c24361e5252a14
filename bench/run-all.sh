#!/usr/bin/env bash
# Builds what the benchmarks need, runs every benchmark (each takes three runs, its sides taking turns)
# and prints one table: each row's figures as the median with the three runs' figures, its goal and
# whether it is met (a row is met when the medians of all its figures are). The last line is
# "N of 6 goals met". Every wineserver, portal and display started here is stopped again.
#
# usage: bench/run-all.sh [BUILD_DIR]
# The benchmarks' own output goes to BUILD_DIR/bench-logs/<name>.log.
set -uo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build}"

bash "$repo/scripts/setup.sh" || exit 1
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTESSARO_DEVELOPMENT_BUILD=ON >/dev/null || exit 1
cmake --build "$build" --target TESSARO tessaro_testapp bench_extract_tool portal_download_tool \
      winhttp_read_tool whole_install_tool >/dev/null || { echo "run-all.sh: build failed" >&2; exit 1; }
build="$(cd "$build" && pwd)"

source "$repo/scripts/wine-env.sh" "$build"
# `wineserver -p` fails when a server of this prefix already runs: then it is not ours to stop.
started_server=0
if [ ! -f "$WINEPREFIX/.tessaro-ready-2" ] || wineserver -p </dev/null >/dev/null 2>&1; then
    started_server=1 # a new prefix's server is ours too
fi
tessaro_start_display
tessaro_prepare_prefix
install_work=/tmp/tessaro-install-bench
finish() {
    rm -rf "$install_work"
    [ "$started_server" = 1 ] && wineserver -k >/dev/null 2>&1
    [ -n "${TESSARO_XVFB_PID:-}" ] && kill "$TESSARO_XVFB_PID" 2>/dev/null
    return 0
}
trap finish EXIT

logs="$build/bench-logs"
results="$logs/results.txt"
mkdir -p "$logs"
: >"$results"
export BENCH_RESULTS="$results"
for bench in install download launch whole-install fast-update; do
    echo "== $bench" >&2
    # The install benchmark's 110,000 files are removed at the end, not before the whole install: a file
    # system without a journal (ext4 here) creates files slower in the minutes after a bulk removal.
    KEEP=1 RUNS=3 bash "$repo/bench/$bench-bench.sh" "$build" >"$logs/$bench.log" 2>&1 ||
        { echo "run-all.sh: $bench-bench.sh failed, see $logs/$bench.log; its last lines:" >&2
          tail -n 5 "$logs/$bench.log" >&2; }
done

/usr/bin/python3 - "$results" <<'PY'
import sys

values, runs = {}, {}
for line in open(sys.argv[1]):
    key, _, value = line.strip().partition("=")
    if not key:
        continue
    if key.endswith("_runs"):
        runs[key[:-5]] = value.split()
    else:
        values[key] = float(value)

def figure(key, unit, goal, at_most):
    """One figure of a row: its median with the runs' figures, and whether the median meets its goal (a
    missing figure never does)."""
    bound = f"{'≤' if at_most else '≥'} {goal}{unit}"
    if key not in values:
        return f"{key} not measured", False, bound
    value = values[key]
    met = value <= goal if at_most else value >= goal
    each = f" ({', '.join(runs[key])})" if key in runs else ""
    return f"{value:g}{unit}{each}", met, bound

rows = [
    ("1", "extraction 1 GiB / 10,000 files vs unzip -q + sha256sum + sync",
     [("extract_ratio", "×", 1.15, True), ("extract_peak_mib", " MiB", 48, True)]),
    ("2", "verification 10,000 files vs sha256sum (one core) and the best floor",
     [("verify10k_ratio", "×", 1.0, True), ("verify10k_floor_ratio", "×", 1.1, True)]),
    ("3", "verification 100,000 files of 1 KB vs the best floor",
     [("verify100k_floor_ratio", "×", 1.1, True), ("verify100k_peak_mib", " MiB", 48, True),
      ("verify100k_manifest_growth_mib", " MiB", 12, True)]),
    ("4", "download 256 MiB, throughput vs WinHTTP read loop", [("download_ratio", "×", 0.95, False)]),
    ("5", "launch to confirmed start, 200 MiB / 1,000 files vs sha256sum", [("launch_ratio", "×", 1.8, True)]),
    ("6", "whole install 1 GiB / 10,000 files vs curl + unzip -q + sha256sum + sync",
     [("whole_ratio", "×", 2.3, True)]),
]
# The update that fetches only what changed, against the same update over the whole archive: shown with
# its own goal, not one of the six rows the last line counts.
update_rows = [
    ("7", "update 1 GiB / 10,000 files, 2 % changed, 20 MiB/s: fast vs whole road",
     [("fast_time_ratio", "×", 0.5, True), ("fast_bytes_ratio", "×", 1.1, True)]),
]
extras = {
    "1": "{extract_program_s:g} s (manifest {extract_parse_s:g} s) vs {extract_reference_s:g} s; "
         "all cores {extract_reference_all_s:g} s ({extract_ratio_all:g}×)",
    "2": "{verify10k_program_s:g} s vs sha256sum {verify10k_reference_s:g} s, all cores "
         "{verify10k_reference_all_s:g} s ({verify10k_ratio_all:g}×); best floor {verify10k_floor_s:g} s "
         "on {verify10k_floor_threads:g} threads",
    "3": "{verify100k_program_s:g} s vs sha256sum {verify100k_reference_s:g} s ({verify100k_ratio:g}×), all cores "
         "{verify100k_reference_all_s:g} s; best floor {verify100k_floor_s:g} s on {verify100k_floor_threads:g} "
         "threads; manifest parsed in {verify100k_parse_s:g} s",
    "4": "{download_program_mibs:g} vs {download_loop_mibs:g} MiB/s; curl {download_curl_mibs:g}, "
         "curl + sha256sum {download_curl_hash_mibs:g} MiB/s",
    "5": "{launch_program_s:g} s vs {launch_reference_s:g} s; all cores {launch_reference_all_s:g} s "
         "({launch_ratio_all:g}×)",
    "6": "{whole_program_s:g} s vs {whole_reference_s:g} s; all cores {whole_reference_all_s:g} s "
         "({whole_ratio_all:g}×); peak {whole_peak_mib:g} MiB",
    "7": "{fast_program_s:g} s vs {fast_whole_s:g} s, {fast_fetched_mib:g} MiB fetched; bytes figure: "
         "(fetched - directory) / changed compressed; unthrottled {fast_free_s:g} s vs {fast_free_whole_s:g} s",
}
def show(number, name, figures):
    """Prints one row with its extra line; answers whether it is met."""
    measured = [figure(*f) for f in figures]
    met = all(m for _, m, _ in measured)
    print(f"{number:<2} {name:<72} {'; '.join(t for t, _, _ in measured):<40} "
          f"{', '.join(g for _, _, g in measured):<18} {'yes' if met else 'no'}")
    try:
        print(f"{'':<2}   {extras[number].format(**values)}")
    except KeyError:
        pass
    return met

print(f"{'#':<2} {'benchmark':<72} {'median (runs)':<40} {'goal':<18} met")
met_rows = sum(show(*row) for row in rows)
for row in update_rows:
    show(*row)
print(f"{met_rows} of {len(rows)} goals met")
PY

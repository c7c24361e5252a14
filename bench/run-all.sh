#!/usr/bin/env bash
# Builds what the benchmarks need, runs every benchmark and prints one table: each row's figures,
# its goal and whether it is met (a row is met when all its figures are). The last line is
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
for bench in install download launch whole-install; do
    echo "== $bench" >&2
    # The install benchmark's 110,000 files are removed at the end, not before the whole install: a file
    # system without a journal (ext4 here) creates files slower in the minutes after a bulk removal.
    KEEP=1 bash "$repo/bench/$bench-bench.sh" "$build" >"$logs/$bench.log" 2>&1 ||
        { echo "run-all.sh: $bench-bench.sh failed, see $logs/$bench.log; its last lines:" >&2
          tail -n 5 "$logs/$bench.log" >&2; }
done

/usr/bin/python3 - "$results" <<'PY'
import sys

values = {}
for line in open(sys.argv[1]):
    key, _, value = line.strip().partition("=")
    if key:
        values[key] = float(value)

def figure(key, unit, goal, at_most):
    """One figure of a row: its text and whether it meets its goal (a missing figure never does)."""
    if key not in values:
        return f"{key} not measured", False, f"{'≤' if at_most else '≥'} {goal}{unit}"
    value = values[key]
    met = value <= goal if at_most else value >= goal
    return f"{value:g}{unit}", met, f"{'≤' if at_most else '≥'} {goal}{unit}"

rows = [
    ("1", "extraction 1 GiB / 10,000 files vs unzip -q + sha256sum",
     [("extract_ratio", "×", 1.3, True), ("extract_peak_mib", " MiB", 64, True)]),
    ("2", "verification 10,000 files vs sha256sum", [("verify10k_ratio", "×", 1.0, True)]),
    ("3", "verification 100,000 files of 1 KB vs sha256sum",
     [("verify100k_ratio", "×", 5, True), ("verify100k_peak_mib", " MiB", 96, True)]),
    ("4", "download 256 MiB, throughput vs WinHTTP read loop", [("download_ratio", "×", 0.9, False)]),
    ("5", "launch to confirmed start, 200 MiB / 1,000 files vs sha256sum", [("launch_ratio", "×", 2.2, True)]),
    ("6", "whole install 1 GiB / 10,000 files vs curl + unzip -q + sha256sum",
     [("whole_ratio", "×", 2.5, True)]),
]
extras = {
    "1": "{extract_program_s:g} s vs {extract_reference_s:g} s",
    "2": "{verify10k_program_s:g} s vs {verify10k_reference_s:g} s; Wine's floor {verify10k_floor_s:g} s "
         "({verify10k_floor_ratio:g}×)",
    "3": "{verify100k_program_s:g} s vs {verify100k_reference_s:g} s; manifest parsed: {verify100k_manifest_mib:g} MiB "
         "(+{verify100k_manifest_growth_mib:g} MiB); "
         "Wine's floor {verify100k_floor_s:g} s ({verify100k_floor_ratio:g}×)",
    "4": "{download_program_mibs:g} vs {download_loop_mibs:g} MiB/s; curl {download_curl_mibs:g}, "
         "curl + sha256sum {download_curl_hash_mibs:g} MiB/s",
    "5": "{launch_program_s:g} s vs {launch_reference_s:g} s",
    "6": "{whole_program_s:g} s vs {whole_reference_s:g} s; peak {whole_peak_mib:g} MiB",
}
met_rows = 0
print(f"{'#':<2} {'benchmark':<66} {'figures':<22} {'goal':<18} met")
for number, name, figures in rows:
    measured = [figure(*f) for f in figures]
    met = all(m for _, m, _ in measured)
    met_rows += met
    print(f"{number:<2} {name:<66} {', '.join(t for t, _, _ in measured):<22} "
          f"{', '.join(g for _, _, g in measured):<18} {'yes' if met else 'no'}")
    try:
        print(f"{'':<2}   {extras[number].format(**values)}")
    except KeyError:
        pass
print(f"{met_rows} of {len(rows)} goals met")
PY

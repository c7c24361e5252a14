#!/usr/bin/env bash
# Package installation benchmark: the launcher's extraction (unpack, write, hash every file) of a
# generated package of about 1 GiB in 10,000 files, its verification of that tree, and its
# verification of a tree of 100,000 small files, each next to `unzip -q` and `sha256sum` (on one core and
# on all cores, ending with sync where files are written) on the same data, and the verifications next to
# Wine's own floor swept over thread counts. Prints each side's wall time for every one of RUNS runs
# (default 3; the sides take turns, each after sync), the program's peak memory and the manifest's
# growth, and the ratios. No pass or fail.
#
#   [RUNS=N] bench/install-bench.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR (default: build) must hold bin/bench_extract_tool.exe; WORK_DIR (default:
# /tmp/tessaro-install-bench, about 7 GB) is removed at the end unless KEEP=1. With BENCH_RESULTS set,
# appends key=value lines for bench/run-all.sh to that file.
set -eEuo pipefail
trap 'echo "install-bench.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:-$source_dir/build}" && pwd)"
work="${2:-/tmp/tessaro-install-bench}"
runs="${RUNS:-3}"
tool="$build_dir/bin/bench_extract_tool.exe"
publish=(/usr/bin/python3 "$source_dir/tools/publisher/tessaro_publish.py")
[ -x "$tool" ] || [ -f "$tool" ] || { echo "missing $tool: build the project first" >&2; exit 1; }

# shellcheck source=../scripts/wine-env.sh
source "$source_dir/scripts/wine-env.sh" "$build_dir"
tessaro_prepare_prefix

rm -rf "$work"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:${1//\//\\}"; }

echo "== generating data in $work"
/usr/bin/python3 - "$work" <<'PY'
import hashlib, json, os, sys
work = sys.argv[1]
delivery = json.dumps({"buildId": "bench-1", "engine": "tessaro-desktop"}, separators=(",", ":")).encode()

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

# Package tree: 10,000 files of about 107 KB, half random and half repetitive, so deflate has work.
big = os.path.join(work, "package-tree")
size = (1 << 30) // 10_000
for index in range(10_000 - 2):
    half = os.urandom(size // 2)
    write(os.path.join(big, f"d{index // 100:03d}", f"f{index:05d}.bin"), half + bytes(half[:64]) * (size // 128))
write(os.path.join(big, "appTESSARO.exe"), b"MZ" + os.urandom(size))
write(os.path.join(big, "delivery-manifest.json"), delivery)

# Small-file tree: 100,000 files of 1 KB in 100 folders, with its manifest payload.
small = os.path.join(work, "small-tree")
files = []
def add(relative, data):
    write(os.path.join(small, relative), data)
    files.append({"path": relative, "sha256": hashlib.sha256(data).hexdigest(), "size": len(data)})
add("appTESSARO.exe", b"MZ small tree")
add("delivery-manifest.json", delivery)
for index in range(100_000 - 2):
    add(f"s{index // 1000:03d}/f{index:06d}.dat", os.urandom(1024))
release = "5b0b6c1e-2f1a-4c8e-9d3b-7a6e5f4d3c2b"
manifest = {
    "artifact": {"artifactId": release, "fileCount": len(files), "sha256": "0" * 64, "size": 1,
                 "unpackedSize": sum(f["size"] for f in files)},
    "authenticodePolicy": "unsigned", "buildId": "bench-1", "channel": "stable",
    "compatibility": {"engine": "tessaro-desktop", "minLauncherVersion": "1.0.0", "minWindowsBuild": 10240,
                      "profileSchemaMax": 1, "profileSchemaMin": 1, "profileSchemaWrite": 1,
                      "projectSchemaMax": 1, "projectSchemaMin": 1, "projectSchemaWrite": 1},
    "files": files, "platform": "win-x64", "product": "tessaro", "releaseId": release, "schemaVersion": 1,
    "version": "1.0.0",
}
with open(os.path.join(work, "small-manifest.payload.json"), "wb") as f:
    f.write(json.dumps(manifest, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode())
PY
"${publish[@]}" sign --in "$work/small-manifest.payload.json" --out "$work/small-manifest.json" >/dev/null
echo "== packing the package tree with the publisher tool"
release_id=$("${publish[@]}" release --data "$work/portal" --from "$work/package-tree" --channel stable \
    --version 1.0.0 --build-id bench-1 --authenticode-policy unsigned | tail -n 1)
zip="$work/portal/releases/$release_id/artifact.zip"
manifest="$work/portal/releases/$release_id/manifest.json"
echo "archive: $(du -m "$zip" | cut -f1) MiB, unpacked: 1024 MiB in 10,000 files"

warm() { cat "$@" >/dev/null 2>&1 || true; }
figures() { /usr/bin/python3 "$source_dir/bench/figures.py" "$@"; }
field() { /usr/bin/python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
joined() { local IFS=,; echo "$*"; }
now() { date +%s.%N; }
elapsed() { /usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[2]) - float(sys.argv[1]):.3f}")' "$1" "$(now)"; }
hash_tree() { find "$1" -type f -print0 | xargs -0 -n 2000 sha256sum >/dev/null; }
hash_tree_all_cores() { find "$1" -type f -print0 | xargs -0 -P "$(nproc)" -n 500 sha256sum >/dev/null; }
# The tool's JSON line; its exit status fails the benchmark.
tool_run() { wine "$tool" "$@" </dev/null | tr -d '\r'; }
largest_mib() { /usr/bin/python3 -c 'import sys; print(f"{max(int(v) for v in sys.argv[1:]) / 2**20:.1f}")' "$@"; }
summary=()

# Every timed side starts after sync; the sides take turns. Nothing is removed between runs: a file
# system without a journal (ext4 here) passes over inodes freed in the last minutes when it creates files,
# so a side that followed a bulk removal would be slowed by the other's.
echo "== extraction of 1 GiB / 10,000 files ($runs runs)"
warm "$zip"
program=() parse=() reference=() all_cores=() peaks=()
for run in $(seq 1 "$runs"); do
    sync
    out=$(tool_run extract "$(winpath "$zip")" "$(winpath "$manifest")" "$(winpath "$work/program-out-$run")")
    program+=("$(field "$out" seconds)") parse+=("$(field "$out" parseSeconds)") peaks+=("$(field "$out" peakWorkingSetBytes)")
    # The program flushes every file it writes: the references' files reach the disk too.
    sync
    start=$(now)
    unzip -q "$zip" -d "$work/unzip-out-$run"
    hash_tree "$work/unzip-out-$run"
    sync
    reference+=("$(elapsed "$start")")
    sync
    start=$(now)
    unzip -q "$zip" -d "$work/unzip-all-$run"
    hash_tree_all_cores "$work/unzip-all-$run"
    sync
    all_cores+=("$(elapsed "$start")")
done
ratios=$(figures ratios "$(joined "${program[@]}")" "$(joined "${reference[@]}")")
all_ratios=$(figures ratios "$(joined "${program[@]}")" "$(joined "${all_cores[@]}")")
summary+=("extract 10,000 files: program ${program[*]} s (manifest ${parse[*]} s), unzip + sha256sum + sync ${reference[*]} s, on all cores ${all_cores[*]} s; ratios $ratios (all cores $all_ratios); peak $(largest_mib "${peaks[@]}") MiB")
if [ -n "${BENCH_RESULTS:-}" ]; then
    {
        figures record extract_program_s "${program[@]}"
        figures record extract_parse_s "${parse[@]}"
        figures record extract_reference_s "${reference[@]}"
        figures record extract_reference_all_s "${all_cores[@]}"
        figures record extract_ratio $ratios
        figures record extract_ratio_all $all_ratios
        echo "extract_peak_mib=$(largest_mib "${peaks[@]}")"
    } >>"$BENCH_RESULTS"
fi

# What Wine itself costs a verification of the same tree (the tool's floor: open, read, hash and close
# every file on THREADS threads, no check, no order), for each thread count; prints "seconds threads" of
# the best and writes the sweep to the log.
floor_counts=(1 2 4 8 16)
best_floor() {
    local best="" threads out seconds
    for threads in "${floor_counts[@]}"; do
        sync
        out=$(tool_run floor "$(winpath "$1")" "$(winpath "$2")" "$threads")
        seconds=$(field "$out" seconds)
        echo "   floor on $threads threads: $seconds s" >&2
        if [ -z "$best" ] || /usr/bin/python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) < float(sys.argv[2]) else 1)' "$seconds" "${best% *}"; then
            best="$seconds $threads"
        fi
    done
    echo "$best"
}

# Verification of a tree against sha256sum on one core and on all cores and against the best floor:
# key, name, folder, manifest.
verify_row() {
    local key=$1 name=$2 folder=$3 envelope=$4 run out start floor
    local program=() parse=() reference=() all_cores=() floors=() threads=() peaks=() growth=()
    echo "== $name ($runs runs)"
    for run in $(seq 1 "$runs"); do
        sync
        out=$(tool_run verify "$(winpath "$folder")" "$(winpath "$envelope")")
        program+=("$(field "$out" seconds)") parse+=("$(field "$out" parseSeconds)")
        peaks+=("$(field "$out" peakWorkingSetBytes)") growth+=("$(field "$out" manifestGrowthBytes)")
        sync
        start=$(now)
        hash_tree "$folder"
        reference+=("$(elapsed "$start")")
        sync
        start=$(now)
        hash_tree_all_cores "$folder"
        all_cores+=("$(elapsed "$start")")
        read -r floor run_threads < <(best_floor "$folder" "$envelope")
        floors+=("$floor") threads+=("$run_threads")
    done
    local ratios all_ratios floor_ratios
    ratios=$(figures ratios "$(joined "${program[@]}")" "$(joined "${reference[@]}")")
    all_ratios=$(figures ratios "$(joined "${program[@]}")" "$(joined "${all_cores[@]}")")
    floor_ratios=$(figures ratios "$(joined "${program[@]}")" "$(joined "${floors[@]}")")
    summary+=("$name: program ${program[*]} s (manifest ${parse[*]} s), sha256sum ${reference[*]} s, on all cores ${all_cores[*]} s, best floor ${floors[*]} s on ${threads[*]} threads; ratios $ratios (all cores $all_ratios, floor $floor_ratios); peak $(largest_mib "${peaks[@]}") MiB, manifest growth $(largest_mib "${growth[@]}") MiB")
    if [ -n "${BENCH_RESULTS:-}" ]; then
        {
            figures record "${key}_program_s" "${program[@]}"
            figures record "${key}_parse_s" "${parse[@]}"
            figures record "${key}_reference_s" "${reference[@]}"
            figures record "${key}_reference_all_s" "${all_cores[@]}"
            figures record "${key}_floor_s" "${floors[@]}"
            figures record "${key}_floor_threads" "${threads[@]}"
            figures record "${key}_ratio" $ratios
            figures record "${key}_ratio_all" $all_ratios
            figures record "${key}_floor_ratio" $floor_ratios
            echo "${key}_peak_mib=$(largest_mib "${peaks[@]}")"
            echo "${key}_manifest_growth_mib=$(largest_mib "${growth[@]}")"
        } >>"$BENCH_RESULTS"
    fi
}

verify_row verify10k "verify 10,000 files" "$work/program-out-1" "$manifest"
verify_row verify100k "verify 100,000 files of 1 KB" "$work/small-tree" "$work/small-manifest.json"

echo
printf '%s\n' "${summary[@]}"
echo "ratios are program / reference; the program runs under Wine $(wine --version 2>/dev/null), the references natively"

#!/usr/bin/env bash
# Package installation benchmark: the launcher's extraction (unpack, write, hash every file) of a
# generated package of about 1 GiB in 10,000 files, its verification of that tree, and its
# verification of a tree of 100,000 small files, each next to `unzip -q` and `sha256sum` on the same
# data. Prints wall time (the best of RUNS runs, default 2) and peak memory of both sides and their
# ratios. No pass or fail.
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
runs="${RUNS:-2}"
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
# Runs a command under GNU time; prints "seconds peak-KiB".
measure() { /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null; cat "$work/time.txt"; }
field() { /usr/bin/python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
hash_tree() { find "$1" -type f -print0 | xargs -0 -n 2000 sha256sum >/dev/null; }
export -f hash_tree

results=()
row() { # key, name, program seconds, program peak bytes, reference seconds, reference peak KiB, manifest bytes,
      # manifest growth bytes
    results+=("$(/usr/bin/python3 -c '
import sys
name, ps, pb, rs, rk, mb, gb = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
pm, rm = pb / 2**20, rk / 1024
print(f"{name:<34} {ps:8.1f} s {pm:8.1f} MiB | {rs:8.1f} s {rm:8.1f} MiB | {ps/rs:6.2f} {pm/rm:7.2f} | {mb / 2**20:6.1f} MiB (+{gb / 2**20:.1f})")
' "${@:2}")")
    if [ -n "${BENCH_RESULTS:-}" ]; then
        /usr/bin/python3 -c '
import sys
key, ps, pb, rs, mb, gb = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
print(f"{key}_program_s={ps:.2f}\n{key}_reference_s={rs:.2f}\n{key}_ratio={ps/rs:.2f}\n{key}_peak_mib={pb / 2**20:.1f}\n{key}_manifest_mib={mb / 2**20:.1f}\n{key}_manifest_growth_mib={gb / 2**20:.1f}")
' "$1" "$3" "$4" "$5" "$7" "$8" >>"$BENCH_RESULTS"
    fi
}

# What Wine itself costs a verification of the same tree (the tool's "floor"): key, folder, manifest,
# reference seconds.
floors=()
floor() {
    local out="" seconds ratio
    for _ in $(seq 1 "$runs"); do
        out=$(faster "$(wine "$tool" floor "$(winpath "$2")" "$(winpath "$3")")" "$out")
    done
    seconds=$(field "$out" seconds)
    ratio=$(/usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$seconds" "$4")
    floors+=("$(printf '%-34s %8.1f s = %s× the reference: open, read, hash, close of every file' \
                "$1 floor (Wine)" "$seconds" "$ratio")")
    [ -z "${BENCH_RESULTS:-}" ] || printf '%s_floor_s=%s\n%s_floor_ratio=%s\n' "$1" "$seconds" "$1" "$ratio" >>"$BENCH_RESULTS"
}

# The faster of two results of the tool (JSON with "seconds"); an empty one loses.
faster() {
    /usr/bin/python3 -c '
import json, sys
a, b = sys.argv[1], sys.argv[2]
print(a if not b or json.loads(a)["seconds"] < json.loads(b)["seconds"] else b)' "$1" "$2"
}
smaller() { /usr/bin/python3 -c 'import sys; print(min(float(v) for v in sys.argv[1:] if v))' "$@"; }
larger() { echo $(( $1 > $2 ? $1 : $2 )); }

# Each row takes the best of $runs runs on each side, the two sides taking turns. Nothing is removed
# between them: a file system without a journal (ext4 here) passes over inodes freed in the last minutes
# when it creates files, so a side that followed a bulk removal would be slowed by the other's.
echo "== extraction of 1 GiB / 10,000 files (best of $runs)"
warm "$zip"
out="" ref_s="" ref_k=0
for run in $(seq 1 "$runs"); do
    out=$(faster "$(wine "$tool" extract "$(winpath "$zip")" "$(winpath "$manifest")" "$(winpath "$work/program-out-$run")")" "$out")
    read -r unzip_s unzip_k < <(measure unzip -q "$zip" -d "$work/unzip-out-$run")
    read -r hash_s hash_k < <(measure bash -c 'hash_tree "$1"' _ "$work/unzip-out-$run")
    ref_s=$(smaller "$(/usr/bin/python3 -c "print($unzip_s + $hash_s)")" "$ref_s")
    ref_k=$(larger "$ref_k" "$(larger "$unzip_k" "$hash_k")")
done
row extract "extract (unzip -q + sha256sum)" "$(field "$out" seconds)" "$(field "$out" peakWorkingSetBytes)" "$ref_s" "$ref_k" "$(field "$out" manifestWorkingSetBytes)" \
    "$(field "$out" manifestGrowthBytes)"

# Verification of a tree, its reference and Wine's floor: key, name, folder, manifest.
verify_row() {
    local out="" ref_s="" ref_k=0 seconds k
    for _ in $(seq 1 "$runs"); do
        out=$(faster "$(wine "$tool" verify "$(winpath "$3")" "$(winpath "$4")")" "$out")
        read -r seconds k < <(measure bash -c 'hash_tree "$1"' _ "$3")
        ref_s=$(smaller "$seconds" "$ref_s")
        ref_k=$(larger "$ref_k" "$k")
    done
    row "$1" "$2" "$(field "$out" seconds)" "$(field "$out" peakWorkingSetBytes)" "$ref_s" "$ref_k" "$(field "$out" manifestWorkingSetBytes)" \
        "$(field "$out" manifestGrowthBytes)"
    floor "$1" "$3" "$4" "$ref_s"
}

echo "== verification of the extracted package tree (best of $runs)"
verify_row verify10k "verify 10,000 files (sha256sum)" "$work/program-out-1" "$manifest"

echo "== verification of 100,000 small files (best of $runs)"
verify_row verify100k "verify 100,000 files (sha256sum)" "$work/small-tree" "$work/small-manifest.json"

echo
printf '%-34s %21s | %21s | %6s %7s | %s\n' "" "program (Wine)" "reference (host)" "time" "memory" "manifest"
printf '%s\n' "${results[@]}" "${floors[@]}"
echo "ratios are program / reference; the program runs under Wine $(wine --version 2>/dev/null), the reference natively"
echo "manifest: the program's working set once the signed manifest is parsed, before the operation starts,"
echo "and (+) how much reading and parsing the signed manifest added to it"

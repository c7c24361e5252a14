#!/usr/bin/env bash
# The whole install as a user meets it: a sign-in token from the development portal, Client::install of a
# release of about 1 GiB in 10,000 files (download, unpack, check, preflight, rename), the switch to it
# and its confirmed start, against curl + unzip -q + sha256sum of the same release over the same
# loopback HTTPS (ending with sync, as the program flushes its files), with sha256sum on one core and on
# all cores. Prints the wall times, the program's peak memory and the ratios.
#
# usage: bench/whole-install-bench.sh [BUILD_DIR] [RUNS]
# BUILD_DIR (default build) must hold bin/whole_install_tool.exe and testapp/appTESSARO.exe; its portal
# address names the port the portal is started on, which must be free. The release is published once
# into BUILD_DIR/bench-whole and reused. RUNS defaults to 3 (the sides take turns; medians of the runs).
# With BENCH_RESULTS set, appends key=value lines for bench/run-all.sh to that file.
set -eEuo pipefail
trap 'echo "whole-install-bench.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)"
runs="${2:-${RUNS:-3}}"
tool="$build/bin/whole_install_tool.exe"
app="$build/testapp/appTESSARO.exe"
for file in "$tool" "$app"; do
    [ -f "$file" ] || { echo "whole-install-bench.sh: $file missing (cmake --build $build)" >&2; exit 1; }
done
address=$(sed -n 's/^TESSARO_PORTAL_BASE_ADDRESS:STRING=//p' "$build/CMakeCache.txt")
[[ "$address" =~ ^https://(127\.0\.0\.1|localhost):([0-9]+)/?$ ]] ||
    { echo "whole-install-bench.sh: portal address '$address' is not https://127.0.0.1:<port>" >&2; exit 1; }
port=${BASH_REMATCH[2]}
base="https://127.0.0.1:$port"

source "$repo/scripts/wine-env.sh" "$build"
# The helpers are not written for errexit (wineserver -p fails when a server is already running).
set +e
tessaro_prepare_prefix
set -e
bench="$build/bench-whole"
certs="$build/devportal/certs"
"$repo/tools/devportal/make-certs.sh" "$certs"
"$repo/tools/devportal/trust-prefix.sh" "$WINEPREFIX" "$certs/ca.pem" >/dev/null

release=5f0c2a1e-8b7d-4c3a-9e6f-0000000e1024
data="$bench/data"
publish=(/usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py")
stamp="$(sha256sum "$app" | cut -c1-64)"
if [ "$(cat "$bench/stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$bench"
    mkdir -p "$bench/tree"
    cp "$app" "$bench/tree/appTESSARO.exe"
    printf '{"rollbackSafe":true,"afterStartMs":0}' >"$bench/tree/testapp-behaviour.json"
    printf '{"buildId":"bench","engine":"tessaro-desktop"}' >"$bench/tree/delivery-manifest.json"
    # 9,997 files of about 107 KB, half random and half repetitive, so deflate has work: about 1 GiB.
    /usr/bin/python3 - "$bench/tree" <<'PY'
import os, sys
size = (1 << 30) // 10_000
for index in range(10_000 - 3):
    half = os.urandom(size // 2)
    folder = os.path.join(sys.argv[1], f"d{index // 100:03d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{index:05d}.bin"), "wb") as f:
        f.write(half + bytes(half[:64]) * (size // 128))
PY
    "${publish[@]}" release --data "$data" --from "$bench/tree" --release-id "$release" --channel stable \
        --version 9.9.9 --build-id bench --authenticode-policy unsigned >/dev/null
    "${publish[@]}" catalog --data "$data" --channel stable >/dev/null
    rm -rf "$bench/tree"
    echo "$stamp" >"$bench/stamp"
fi
zip="$data/releases/$release/artifact.zip"

# Another build's test portal may hold the port for a while: wait up to five minutes for it.
for _ in $(seq 1 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break; sleep 1; done
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "whole-install-bench.sh: port $port is in use (stop the test portal first)" >&2
    exit 1
fi
roots="$WINEPREFIX/drive_c/bench-whole"
reference="$bench/reference"
rm -f "$bench/portal.port"
setsid /usr/bin/python3 "$repo/tools/devportal/devportal.py" serve --data "$data" --cert "$certs/server.pem" \
    --key "$certs/server.key" --port "$port" --port-file "$bench/portal.port" </dev/null >"$bench/portal.out" 2>&1 &
portal=$!
cleanup() {
    kill "$portal" 2>/dev/null || true
    wait "$portal" 2>/dev/null || true
    rm -rf "$roots" "$reference"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -f "$bench/portal.port" ] && break; sleep 0.1; done
[ -f "$bench/portal.port" ] || { cat "$bench/portal.out" >&2; exit 1; }

C=(curl -sS --noproxy '*' --cacert "$certs/ca.pem")
field() { /usr/bin/python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
figures() { /usr/bin/python3 "$repo/bench/figures.py" "$@"; }
now() { date +%s.%N; }
hash_tree() { find "$1" -type f -print0 | xargs -0 -n 2000 sha256sum >/dev/null; }
hash_tree_all_cores() { find "$1" -type f -print0 | xargs -0 -P "$(nproc)" -n 500 sha256sum >/dev/null; }

# curl + unzip + sha256sum into FOLDER, hashing with HASHER, ending with sync: the program flushes every
# file it writes, so the reference's files must reach the disk too. Prints the seconds.
reference_run() {
    local folder=$1 hasher=$2 start end token
    mkdir -p "$folder"
    sync
    start=$(now)
    token=$("${C[@]}" -X POST "$base/_dev/tokens" -d '{}' |
            /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["access_token"])')
    "${C[@]}" -H "Authorization: Bearer $token" -o "$folder/artifact.zip" \
        "$base/account-api/v1/software/artifacts/$release"
    unzip -q "$folder/artifact.zip" -d "$folder/tree"
    "$hasher" "$folder/tree"
    sync
    end=$(now)
    cmp -s "$folder/artifact.zip" "$zip" || { echo "whole-install-bench.sh: curl fetched other bytes" >&2; exit 1; }
    /usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[2]) - float(sys.argv[1]):.3f}")' "$start" "$end"
}

# Nothing is removed between runs: a file system without a journal (ext4 here) passes over inodes freed
# in the last minutes when it creates files, so a side that followed a bulk removal would be slowed by
# the other's. Each run installs into its own roots and unpacks into its own reference folders; the sides
# take turns and each starts after sync.
program_times=() reference_times=() all_core_times=() peak=0
rm -rf "$roots" "$reference"
for run in $(seq 1 "$runs"); do
    sync
    out=$(wine "$tool" "C:\\bench-whole\\$run\\install" "C:\\bench-whole\\$run\\data" "$release" </dev/null 2>"$bench/tool.err" |
          tr -d '\r') || { echo "whole-install-bench.sh: install failed: $(cat "$bench/tool.err")" >&2; exit 1; }
    program_times+=("$(field "$out" seconds)")
    phases=$(tr -d '\r' <"$bench/tool.err")
    peak=$(( peak > $(field "$out" peakWorkingSetBytes) ? peak : $(field "$out" peakWorkingSetBytes) ))
    # Let the test application leave before anything else starts.
    sleep 0.5
    reference_times+=("$(reference_run "$reference/$run" hash_tree)")
    all_core_times+=("$(reference_run "$reference/$run-all" hash_tree_all_cores)")
done
joined() { local IFS=,; echo "$*"; }
ratios=$(figures ratios "$(joined "${program_times[@]}")" "$(joined "${reference_times[@]}")")
all_core_ratios=$(figures ratios "$(joined "${program_times[@]}")" "$(joined "${all_core_times[@]}")")
peak_mib=$(/usr/bin/python3 -c "import sys; print('%.1f' % (int(sys.argv[1]) / 2**20))" "$peak")
echo "release: $(du -m "$zip" | cut -f1) MiB archive, 1 GiB in 10,000 files, over $base (median of $runs runs)"
echo "program (token, install, switch, confirmed start): $(figures median "${program_times[@]}") s (runs ${program_times[*]}), peak ${peak_mib} MiB"
echo "curl + unzip -q + sha256sum + sync:                 $(figures median "${reference_times[@]}") s (runs ${reference_times[*]})"
echo "the same with sha256sum on $(nproc) cores:              $(figures median "${all_core_times[@]}") s (runs ${all_core_times[*]})"
echo "ratio program / reference: $(figures median $ratios) (runs $ratios); on all cores: $(figures median $all_core_ratios) (runs $all_core_ratios)"
echo "program phases of the last run (start of each):"
echo "$phases"
if [ -n "${BENCH_RESULTS:-}" ]; then
    {
        figures record whole_program_s "${program_times[@]}"
        figures record whole_reference_s "${reference_times[@]}"
        figures record whole_reference_all_s "${all_core_times[@]}"
        figures record whole_ratio $ratios
        figures record whole_ratio_all $all_core_ratios
        echo "whole_peak_mib=$peak_mib"
    } >>"$BENCH_RESULTS"
fi

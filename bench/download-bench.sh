#!/usr/bin/env bash
# Download throughput of the program's resumable download against a bare WinHTTP read loop in the same
# Wine prefix (same portal, same session settings, nothing written or hashed: the reference), with curl
# and curl + sha256sum beside it, all over the same loopback HTTPS from the development portal; then the
# cost of a resume after a cut transfer.
#
# usage: bench/download-bench.sh [BUILD_DIR] [SIZE_MIB]
# BUILD_DIR (default build) must hold bin/portal_download_tool.exe; its portal address
# (TESSARO_PORTAL_BASE_ADDRESS) names the port the portal is started on, which must be free (the
# test fixture's portal must not be running). SIZE_MIB defaults to 256. The release is published
# once into BUILD_DIR/bench-download/data and reused. Prints the throughputs (medians of 3 runs, the
# sides taking turns, each after sync) and the ratios, then resumes a transfer cut at half the size and shows the bytes it fetched. With BENCH_RESULTS
# set, appends key=value lines for bench/run-all.sh to that file.
set -eEuo pipefail
trap 'echo "download-bench.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)"
mib="${2:-256}"
tool="$build/bin/portal_download_tool.exe"
loop_tool="$build/bin/winhttp_read_tool.exe"
for file in "$tool" "$loop_tool"; do
    [ -f "$file" ] || { echo "download-bench.sh: $file missing (cmake --build $build)" >&2; exit 1; }
done

address=$(sed -n 's/^TESSARO_PORTAL_BASE_ADDRESS:STRING=//p' "$build/CMakeCache.txt")
[[ "$address" =~ ^https://(127\.0\.0\.1|localhost):([0-9]+)/?$ ]] ||
    { echo "download-bench.sh: portal address '$address' is not https://127.0.0.1:<port>" >&2; exit 1; }
port=${BASH_REMATCH[2]}
base="https://127.0.0.1:$port"

source "$repo/scripts/wine-env.sh" "$build"
tessaro_prepare_prefix
bench="$build/bench-download"
certs="$build/devportal/certs"
mkdir -p "$bench"
"$repo/tools/devportal/make-certs.sh" "$certs"
"$repo/tools/devportal/trust-prefix.sh" "$WINEPREFIX" "$certs/ca.pem" >/dev/null

release=5f0c2a1e-8b7d-4c3a-9e6f-0000000b0256
data="$bench/data"
info="$data/releases/$release/release.json"
if [ ! -f "$info" ] || [ "$(cat "$bench/data.mib" 2>/dev/null)" != "$mib" ]; then
    # Random content: the archive is as large as the tree (nothing to compress).
    rm -rf "$data" "$bench/tree"
    mkdir -p "$bench/tree"
    printf 'MZ bench application\n' >"$bench/tree/appTESSARO.exe"
    head -c $((mib * 1048576)) /dev/urandom >"$bench/tree/payload.bin"
    /usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py" release --data "$data" --from "$bench/tree" \
        --release-id "$release" --channel stable --version 9.9.9 --build-id bench --authenticode-policy unsigned >/dev/null
    rm -rf "$bench/tree"
    echo "$mib" >"$bench/data.mib"
fi
read -r size sha < <(/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["artifactSize"], d["artifactSha256"])' "$info")

# Another build's test portal may hold the port for a while: wait up to five minutes for it.
for _ in $(seq 1 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break; sleep 1; done
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "download-bench.sh: port $port is in use (stop the test portal first)" >&2
    exit 1
fi
rm -f "$bench/portal.port"
setsid /usr/bin/python3 "$repo/tools/devportal/devportal.py" serve --data "$data" --cert "$certs/server.pem" \
    --key "$certs/server.key" --port "$port" --port-file "$bench/portal.port" </dev/null >"$bench/portal.out" 2>&1 &
portal=$!
trap 'kill $portal 2>/dev/null || true; wait $portal 2>/dev/null || true; rm -f "$bench/curl.out" "$bench/artifact.partial"' EXIT
for _ in $(seq 1 100); do [ -f "$bench/portal.port" ] && break; sleep 0.1; done
[ -f "$bench/portal.port" ] || { cat "$bench/portal.out" >&2; exit 1; }

C=(curl -sS --noproxy '*' --cacert "$certs/ca.pem")
token=$("${C[@]}" -X POST "$base/_dev/tokens" -d '{}' | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["access_token"])')
path="/account-api/v1/software/artifacts/$release"
partial_unix="$bench/artifact.partial"
partial_win="Z:${partial_unix//\//\\}"

figures() { /usr/bin/python3 "$repo/bench/figures.py" "$@"; }
joined() { local IFS=,; echo "$*"; }
mibs() { /usr/bin/python3 -c "import sys; print('%.1f' % ($size / 1048576 / float(sys.argv[1])))" "$1"; }

run_tool() { wine "$tool" "$path" "$partial_win" "$size" "$sha" "$token" </dev/null 2>/dev/null | tr -d '\r' || true; }
run_loop() { wine "$loop_tool" "$path" "$token" </dev/null 2>/dev/null | tr -d '\r' || true; }
seconds() { [[ "$1" =~ ^ok\ seconds=([0-9.]+) ]] && echo "${BASH_REMATCH[1]}" || { echo "program: $1" >&2; exit 1; }; }

# The sides take turns, each starting after sync; throughput ratios are per run (loop time / program time).
curl_times=() curl_hash_times=() program_times=() loop_times=()
for _ in 1 2 3; do
    sync
    loop_times+=("$(seconds "$(run_loop)")")
    sync
    start=$(date +%s.%N)
    curl_times+=("$("${C[@]}" -H "Authorization: Bearer $token" -o "$bench/curl.out" -w '%{time_total}' "$base$path")")
    [ "$(sha256sum <"$bench/curl.out" | cut -d' ' -f1)" = "$sha" ] || { echo "curl fetched other bytes" >&2; exit 1; }
    curl_hash_times+=("$(/usr/bin/python3 -c "import sys; print('%.3f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$start" "$(date +%s.%N)")")
    rm -f "$partial_unix"
    sync
    program_times+=("$(seconds "$(run_tool)")")
done
hash_only=$(seconds "$(run_tool)")
ratios=$(figures ratios "$(joined "${loop_times[@]}")" "$(joined "${program_times[@]}")")
curl_ratios=$(figures ratios "$(joined "${curl_times[@]}")" "$(joined "${program_times[@]}")")
curl_hash_ratios=$(figures ratios "$(joined "${curl_hash_times[@]}")" "$(joined "${program_times[@]}")")
program_mibs=() loop_mibs=() curl_mibs=() curl_hash_mibs=()
for i in 0 1 2; do
    program_mibs+=("$(mibs "${program_times[$i]}")")
    loop_mibs+=("$(mibs "${loop_times[$i]}")")
    curl_mibs+=("$(mibs "${curl_times[$i]}")")
    curl_hash_mibs+=("$(mibs "${curl_hash_times[$i]}")")
done
echo "artifact: $size bytes ($mib MiB of random content, zipped) over $base (medians of 3 runs)"
echo "WinHTTP read loop (reference): $(figures median "${loop_mibs[@]}") MiB/s (runs ${loop_mibs[*]})"
echo "curl:    $(figures median "${curl_mibs[@]}") MiB/s (runs ${curl_mibs[*]})"
echo "program: $(figures median "${program_mibs[@]}") MiB/s (runs ${program_mibs[*]}; hashed as written; a call that finds the file complete hashes it in ${hash_only} s)"
echo "ratio program/loop throughput: $(figures median $ratios) (runs $ratios)"
echo "ratio program/curl throughput: $(figures median $curl_ratios) (runs $curl_ratios)"
echo "like for like, curl followed by sha256sum: $(figures median "${curl_hash_mibs[@]}") MiB/s; ratio program/(curl+sha256sum): $(figures median $curl_hash_ratios)"

if [ -n "${BENCH_RESULTS:-}" ]; then
    {
        figures record download_program_mibs "${program_mibs[@]}"
        figures record download_loop_mibs "${loop_mibs[@]}"
        figures record download_ratio $ratios
        figures record download_curl_mibs "${curl_mibs[@]}"
        figures record download_curl_hash_mibs "${curl_hash_mibs[@]}"
    } >>"$BENCH_RESULTS"
fi

# Resume: the first transfer is cut at half the file, the second call fetches only what is missing.
rm -f "$partial_unix"
"${C[@]}" -X POST "$base/_dev/log/clear" -d '{}' >/dev/null
"${C[@]}" "$base/_dev/faults" -d "{\"fault\":\"cut\",\"after\":$((size / 2)),\"path\":\"$path\",\"times\":1}" >/dev/null
first=$(run_tool)
kept=$(stat -c %s "$partial_unix")
second=$(run_tool)
sleep 0.5
answers=$("${C[@]}" "$base/_dev/log?settled=1" | /usr/bin/python3 -c '
import json, sys
for line in sys.stdin:
    e = json.loads(line)
    if e["path"].startswith("/account-api/"):
        print(e["status"], e["range"] or "-", e["bytesSent"])')
resumed=$(echo "$answers" | sed -n 2p | cut -d' ' -f3)
echo "resume: first call cut after $kept bytes: $first"
echo "resume: second call: $second"
echo "resume: portal answers (status range body-bytes): $(echo "$answers" | paste -sd';')"
echo "resume: missing $((size - kept)) bytes, fetched on resume $resumed bytes"
[ "$resumed" = "$((size - kept))" ] && [[ "$second" == ok* ]]

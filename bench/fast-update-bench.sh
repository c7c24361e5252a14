#!/usr/bin/env bash
# An update as a user meets it, on both roads: with a release of about 1 GiB in 10,000 files installed,
# Client::install of the next release, of which 2 % of the files changed, the switch to it and its
# confirmed start. Once on the road that copies the unchanged files and fetches the changed entries by
# range, once on the road of the whole archive (the portal answers ranges with the whole file, so the
# program falls back), both with the development portal limited to 20 MiB/s and again unthrottled.
# Prints the wall times, the bytes each road fetched, and the figures against the goals: time of the
# fast road / time of the whole archive, and (bytes fetched - central directory) / compressed size of
# the changed entries.
#
# usage: bench/fast-update-bench.sh [BUILD_DIR] [RUNS]
# BUILD_DIR (default build) must hold bin/whole_install_tool.exe and testapp/appTESSARO.exe; its portal
# address names the port the portal is started on, which must be free. The two releases are published
# once into BUILD_DIR/bench-fast and reused. RUNS (the second argument or the variable) defaults to 3:
# the sides take turns, each timed after sync, and the figures are medians of the runs.
# BENCH_FAST_FILES (10000), BENCH_FAST_MIB (1024) and BENCH_FAST_CHANGED_PERCENT (2) shape the release
# (small values check the script). With BENCH_RESULTS set, appends key=value lines for bench/run-all.sh.
set -eEuo pipefail
trap 'echo "fast-update-bench.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)"
runs="${2:-${RUNS:-3}}"
files="${BENCH_FAST_FILES:-10000}"
mib="${BENCH_FAST_MIB:-1024}"
changed_percent="${BENCH_FAST_CHANGED_PERCENT:-2}"
rate=$((20 * 1048576))
tool="$build/bin/whole_install_tool.exe"
app="$build/testapp/appTESSARO.exe"
for file in "$tool" "$app"; do
    [ -f "$file" ] || { echo "fast-update-bench.sh: $file missing (cmake --build $build)" >&2; exit 1; }
done
address=$(sed -n 's/^TESSARO_PORTAL_BASE_ADDRESS:STRING=//p' "$build/CMakeCache.txt")
[[ "$address" =~ ^https://(127\.0\.0\.1|localhost):([0-9]+)/?$ ]] ||
    { echo "fast-update-bench.sh: portal address '$address' is not https://127.0.0.1:<port>" >&2; exit 1; }
port=${BASH_REMATCH[2]}
base="https://127.0.0.1:$port"

source "$repo/scripts/wine-env.sh" "$build"
# The helpers are not written for errexit (wineserver -p fails when a server is already running).
set +e
tessaro_prepare_prefix
set -e
bench="$build/bench-fast"
certs="$build/devportal/certs"
"$repo/tools/devportal/make-certs.sh" "$certs"
"$repo/tools/devportal/trust-prefix.sh" "$WINEPREFIX" "$certs/ca.pem" >/dev/null

old_release=5f0c2a1e-8b7d-4c3a-9e6f-0000000f0001
new_release=5f0c2a1e-8b7d-4c3a-9e6f-0000000f0002
data="$bench/data"
publish=(/usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py")
stamp="$(cat "$app" "$0" | sha256sum | cut -c1-64) $files $mib $changed_percent"
if [ "$(cat "$bench/stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$bench"
    mkdir -p "$bench/tree"
    cp "$app" "$bench/tree/appTESSARO.exe"
    printf '{"rollbackSafe":true,"afterStartMs":0}' >"$bench/tree/testapp-behaviour.json"
    write_tree() { # $1: build id; $2: "all" or "changed"
        printf '{"buildId":"%s","engine":"tessaro-desktop"}' "$1" >"$bench/tree/delivery-manifest.json"
        # Files half random and half repetitive, so deflate has work; the changed ones get new bytes.
        /usr/bin/python3 - "$bench/tree" "$files" "$mib" "$changed_percent" "$2" <<'PY'
import os, random, sys
root, files, mib, percent, which = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
count = files - 3
size = mib * 1048576 // files
changed = set(random.Random(7).sample(range(count), max(1, count * percent // 100)))
for index in range(count):
    if which == "changed" and index not in changed:
        continue
    half = os.urandom(size // 2)
    folder = os.path.join(root, f"d{index // 100:03d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{index:05d}.bin"), "wb") as f:
        f.write(half + bytes(half[:64]) * (size // 128))
PY
    }
    write_tree bench-old all
    "${publish[@]}" release --data "$data" --from "$bench/tree" --release-id "$old_release" --channel stable \
        --version 9.8.0 --build-id bench-old --authenticode-policy unsigned >/dev/null
    write_tree bench-new changed
    "${publish[@]}" release --data "$data" --from "$bench/tree" --release-id "$new_release" --channel stable \
        --version 9.9.0 --build-id bench-new --authenticode-policy unsigned >/dev/null
    "${publish[@]}" catalog --data "$data" --channel stable >/dev/null
    rm -rf "$bench/tree"
    echo "$stamp" >"$bench/stamp"
fi

# What the goal is measured against: the changed entries' compressed size and the central directory.
read -r changed_files changed_compressed directory_bytes < <(/usr/bin/python3 - "$data" "$old_release" \
    "$new_release" <<'PY'
import base64, json, sys, zipfile
data, old, new = sys.argv[1:]
def files(release):
    envelope = json.load(open(f"{data}/releases/{release}/manifest.json"))
    return {f["path"]: f["sha256"] for f in json.loads(base64.b64decode(envelope["payload"]))["files"]}
before, after = files(old), files(new)
with zipfile.ZipFile(f"{data}/releases/{new}/artifact.zip") as archive:
    changed = [i for i in archive.infolist() if before.get(i.filename) != after[i.filename]]
    with open(f"{data}/releases/{new}/artifact.zip", "rb") as f:
        f.seek(-22, 2)
        directory = int.from_bytes(f.read(22)[12:16], "little")
print(len(changed), sum(i.compress_size for i in changed), directory)
PY
)
new_zip="$data/releases/$new_release/artifact.zip"

# Another build's test portal may hold the port for a while: wait up to five minutes for it.
for _ in $(seq 1 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break; sleep 1; done
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "fast-update-bench.sh: port $port is in use (stop the test portal first)" >&2
    exit 1
fi
roots="$WINEPREFIX/drive_c/bench-fast"
rm -f "$bench/portal.port"
setsid /usr/bin/python3 "$repo/tools/devportal/devportal.py" serve --data "$data" --cert "$certs/server.pem" \
    --key "$certs/server.key" --port "$port" --port-file "$bench/portal.port" </dev/null >"$bench/portal.out" 2>&1 &
portal=$!
cleanup() {
    kill "$portal" 2>/dev/null || true
    wait "$portal" 2>/dev/null || true
    rm -rf "$roots"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -f "$bench/portal.port" ] && break; sleep 0.1; done
[ -f "$bench/portal.port" ] || { cat "$bench/portal.out" >&2; exit 1; }

C=(curl -sS --noproxy '*' --cacert "$certs/ca.pem")
admin() { "${C[@]}" -X POST "$base/_dev/$1" -d "$2" >/dev/null; }
field() { /usr/bin/python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
figures() { /usr/bin/python3 "$repo/bench/figures.py" "$@"; }
joined() { local IFS=,; echo "$*"; }
# Body bytes the portal sent for the archive since the log was cleared.
fetched() {
    "${C[@]}" "$base/_dev/log?settled=1" | /usr/bin/python3 -c '
import json, sys
print(sum(e.get("bytesSent", 0) for e in map(json.loads, filter(str.strip, sys.stdin))
          if e.get("path", "").startswith("/account-api/v1/software/artifacts/")))'
}

# One update in fresh roots: the old release installed and started (not timed), then the timed update.
# $1: roots name; $2: "fast" or "whole"; $3: bytes per second, 0 for none. Prints "seconds bytes".
update() {
    local win="C:\\bench-fast\\$1" out
    admin faults/clear '{}'
    wine "$tool" "$win\\install" "$win\\data" "$old_release" </dev/null >/dev/null 2>"$bench/tool.err" ||
        { echo "fast-update-bench.sh: installing the old release failed: $(cat "$bench/tool.err")" >&2; exit 1; }
    sleep 0.5
    [ "$2" = whole ] && admin faults '{"fault":"ignore-range","path":"/account-api/v1/software/artifacts/*"}'
    [ "$3" != 0 ] && admin faults "{\"fault\":\"throttle\",\"bytesPerSecond\":$3}"
    admin log/clear '{}'
    sync
    out=$(wine "$tool" "$win\\install" "$win\\data" "$new_release" </dev/null 2>"$bench/tool.err" | tr -d '\r') ||
        { echo "fast-update-bench.sh: the update failed: $(cat "$bench/tool.err")" >&2; exit 1; }
    tr -d '\r' <"$bench/tool.err" >"$bench/phases-$2-$3.txt"
    echo "$(field "$out" seconds) $(fetched)"
    sleep 0.5
}

declare -A times bytes
rm -rf "$roots"
for run in $(seq 1 "$runs"); do
    for throttle in "$rate" 0; do
        for road in fast whole; do
            result=$(update "$run-$road-$throttle" "$road" "$throttle")
            read -r seconds sent <<<"$result"
            times[$road-$throttle]+="$seconds "
            bytes[$road-$throttle]+="$sent "
        done
    done
done
# Per run: the fast road's time against the whole archive's, and its bytes beyond the directory against
# the changed entries' compressed size.
time_ratios=$(figures ratios "$(joined ${times[fast-$rate]})" "$(joined ${times[whole-$rate]})")
bytes_ratios=$(for sent in ${bytes[fast-$rate]}; do
    /usr/bin/python3 -c "import sys; a, d, c = map(int, sys.argv[1:]); print('%.3f' % ((a - d) / c))" \
        "$sent" "$directory_bytes" "$changed_compressed"
done | tr '\n' ' ')
median() { figures median "$@"; }
mibs() { /usr/bin/python3 -c "import sys; print('%.1f' % (float(sys.argv[1]) / 2**20))" "$1"; }
echo "releases: $(du -m "$new_zip" | cut -f1) MiB archive, $mib MiB in $files files; $changed_files entries" \
     "changed ($(mibs "$changed_compressed") MiB compressed), central directory $(mibs "$directory_bytes") MiB;" \
     "over $base (medians of $runs runs)"
echo "update at 20 MiB/s:  fast road $(median ${times[fast-$rate]}) s (runs ${times[fast-$rate]}), $(mibs "$(median ${bytes[fast-$rate]})") MiB fetched;" \
     "whole archive $(median ${times[whole-$rate]}) s (runs ${times[whole-$rate]}), $(mibs "$(median ${bytes[whole-$rate]})") MiB fetched"
echo "update unthrottled:  fast road $(median ${times[fast-0]}) s (runs ${times[fast-0]}); whole archive $(median ${times[whole-0]}) s (runs ${times[whole-0]})"
echo "time fast / whole at 20 MiB/s: $(median $time_ratios) (runs $time_ratios); (fetched - directory) / changed compressed: $(median $bytes_ratios) (runs $bytes_ratios)"
echo "program phases of the last throttled fast update (start of each):"
cat "$bench/phases-fast-$rate.txt"
if [ -n "${BENCH_RESULTS:-}" ]; then
    {
        figures record fast_time_ratio $time_ratios
        figures record fast_bytes_ratio $bytes_ratios
        figures record fast_program_s ${times[fast-$rate]}
        figures record fast_whole_s ${times[whole-$rate]}
        figures record fast_free_s ${times[fast-0]}
        figures record fast_free_whole_s ${times[whole-0]}
        echo "fast_fetched_mib=$(mibs "$(median ${bytes[fast-$rate]})")"
    } >>"$BENCH_RESULTS"
fi

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
# once into BUILD_DIR/bench-fast and reused. RUNS defaults to 1 (best of RUNS per side, taking turns).
# BENCH_FAST_FILES (10000), BENCH_FAST_MIB (1024) and BENCH_FAST_CHANGED_PERCENT (2) shape the release
# (small values check the script). With BENCH_RESULTS set, appends key=value lines for bench/run-all.sh.
set -eEuo pipefail
trap 'echo "fast-update-bench.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)"
runs="${2:-1}"
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
best() { sort -g | head -n 1; }
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
            bytes[$road-$throttle]=$sent
        done
    done
done
for key in "${!times[@]}"; do times[$key]=$(printf '%s\n' ${times[$key]} | best); done
ratio() { /usr/bin/python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$@"; }
time_ratio=$(ratio "${times[fast-$rate]}" "${times[whole-$rate]}")
bytes_ratio=$(/usr/bin/python3 -c "import sys; a, d, c = map(int, sys.argv[1:]); print('%.3f' % ((a - d) / c))" \
    "${bytes[fast-$rate]}" "$directory_bytes" "$changed_compressed")
mibs() { /usr/bin/python3 -c "import sys; print('%.1f' % (int(sys.argv[1]) / 2**20))" "$1"; }
echo "releases: $(du -m "$new_zip" | cut -f1) MiB archive, $mib MiB in $files files; $changed_files entries" \
     "changed ($(mibs "$changed_compressed") MiB compressed), central directory $(mibs "$directory_bytes") MiB;" \
     "over $base (best of $runs)"
echo "update at 20 MiB/s:  fast road ${times[fast-$rate]} s, $(mibs "${bytes[fast-$rate]}") MiB fetched;" \
     "whole archive ${times[whole-$rate]} s, $(mibs "${bytes[whole-$rate]}") MiB fetched"
echo "update unthrottled:  fast road ${times[fast-0]} s; whole archive ${times[whole-0]} s"
echo "time fast / whole at 20 MiB/s: $time_ratio; (fetched - directory) / changed compressed: $bytes_ratio"
echo "program phases of the last throttled fast update (start of each):"
cat "$bench/phases-fast-$rate.txt"
if [ -n "${BENCH_RESULTS:-}" ]; then
    printf 'fast_time_ratio=%s\nfast_bytes_ratio=%s\nfast_program_s=%s\nfast_whole_s=%s\n' \
        "$time_ratio" "$bytes_ratio" "${times[fast-$rate]}" "${times[whole-$rate]}" >>"$BENCH_RESULTS"
    printf 'fast_free_s=%s\nfast_free_whole_s=%s\nfast_fetched_mib=%s\n' \
        "${times[fast-0]}" "${times[whole-0]}" "$(mibs "${bytes[fast-$rate]}")" >>"$BENCH_RESULTS"
fi

#!/bin/sh
# Fills a development portal data folder for the Windows tests: one stable and one snapshot release
# with fixed identifiers, the catalogs of both channels, and catalog variants the tests switch to
# with the portal's "catalog" fault (an older generation, other bytes under the same generation, a
# test catalog, and bodies of exactly 20 MiB and one byte more).
# usage: make-portal-data.sh DATA
set -eu
[ $# -eq 1 ] || { echo "usage: make-portal-data.sh DATA" >&2; exit 2; }
data=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
publish() { /usr/bin/python3 "$repo/tools/publisher/tessaro_publish.py" "$@" >/dev/null; }

STABLE=5f0c2a1e-8b7d-4c3a-9e6f-1a2b3c4d5e01
SNAPSHOT=5f0c2a1e-8b7d-4c3a-9e6f-1a2b3c4d5e02

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$data/catalogs"
# Random content keeps the archive about as large as the tree: three 1 MiB buffers and a bit.
printf 'MZ test application\n' >"$tree/appTESSARO.exe"
head -c 3200000 /dev/urandom >"$tree/payload.bin"
publish release --data "$data" --from "$tree" --release-id "$STABLE" --channel stable \
    --version 2.4.0 --build-id 2.4.0.118 --authenticode-policy unsigned
publish release --data "$data" --from "$tree" --release-id "$SNAPSHOT" --channel snapshot \
    --version 2.5.0 --build-id 2.5.0.7 --authenticode-policy unsigned

catalogs=$data/catalogs
publish catalog --data "$data" --channel stable --generation 4 --force
mv "$catalogs/stable.json" "$catalogs/stable.old.json"
publish catalog --data "$data" --channel stable --generation 5 --force
mv "$catalogs/stable.json" "$catalogs/stable.changed.json"
publish catalog --data "$data" --channel stable --generation 6 --force --test-only
mv "$catalogs/stable.json" "$catalogs/stable.testonly.json"
publish catalog --data "$data" --channel stable --generation 5 --force --recommended "$STABLE"
publish catalog --data "$data" --channel snapshot --generation 2 --force

head -c 20971520 /dev/zero | tr '\0' 'x' >"$catalogs/stable.exact20m.json"
head -c 20971521 /dev/zero | tr '\0' 'x' >"$catalogs/stable.over20m.json"

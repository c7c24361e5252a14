#!/usr/bin/env bash
# Creates directory links for the tests the only way Wine shows them as reparse points: host symbolic
# links inside drive_c, pointing at non-empty folders (so a test can prove the target survives).
set -euo pipefail
root="$WINEPREFIX/drive_c/tessaro-links"
mkdir -p "$root/target/inner"
echo "keep me" > "$root/target/keep.txt"
echo "keep me too" > "$root/target/inner/keep.txt"
ln -sfn "$root/target" "$root/link"

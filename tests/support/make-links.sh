#!/usr/bin/env bash
# Creates directory links for the tests the only way Wine shows them as reparse points: host symbolic
# links inside drive_c, pointing at non-empty folders (so a test can prove the target survives).
set -euo pipefail
root="$WINEPREFIX/drive_c/tessaro-links"
mkdir -p "$root/target/inner"
echo "keep me" > "$root/target/keep.txt"
echo "keep me too" > "$root/target/inner/keep.txt"
ln -sfn "$root/target" "$root/link"
# The launcher's uninstall tests move this real folder, which holds a link, into the program or data
# folder and back (Wine would move a link's target instead of the link itself).
mkdir -p "$root/launcher-parked/nested" "$root/launcher-target"
echo "keep me" > "$root/launcher-target/keep.txt"
ln -sfn "$root/launcher-target" "$root/launcher-parked/nested/link"
# A program folder with a directory link inside, and an install root whose staging folder is a link.
program="$root/program-with-link"
mkdir -p "$program"
printf 'MZ stands in for the application\n' > "$program/appTESSARO.exe"
printf '{"buildId":"5","engine":"tessaro-desktop"}' > "$program/delivery-manifest.json"
ln -sfn "$root/target" "$program/bin"
mkdir -p "$root/install/releases"
ln -sfn "$root/target" "$root/install/releases/2f1c6a58-4d3e-4b7a-9c61-0e5d8a7b3f21-staging-0123456789abcdef0123456789abcdef"

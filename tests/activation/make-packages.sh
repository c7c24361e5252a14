#!/usr/bin/env bash
# Publishes the test application in every behaviour the activation tests install (development key,
# unsigned policy), and lays out a staging folder that holds a directory link for the housekeeping
# test. Usage: make-packages.sh APP_EXE OUT_DIR   (WINEPREFIX must be set)
set -euo pipefail
app="$1"
out="$2"
here="$(cd "$(dirname "$0")" && pwd)"
publish=(/usr/bin/python3 "$here/../../tools/publisher/tessaro_publish.py")

# Links are made on the host: Wine shows a host symbolic link inside drive_c as a reparse point.
links="$WINEPREFIX/drive_c/tessaro-activation"
staging="$links/housekeeping/releases/00000000-0000-4000-8000-00000000aaaa-staging-0123456789abcdef0123456789abcdef"
mkdir -p "$links/link-target" "$staging"
echo "keep me" > "$links/link-target/keep.txt"
echo "partial" > "$staging/partial.bin"
ln -sfn "$links/link-target" "$staging/link"

stamp="$(cat "$app" "$0" | sha256sum | cut -c1-64)"
if [ -f "$out/index.json" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi
rm -rf "$out"
mkdir -p "$out/source"

# name|release id|version|behaviour
packages=(
    "a|00000000-0000-4000-8000-000000000a01|1.0.0|{\"rollbackSafe\":true}"
    "b|00000000-0000-4000-8000-000000000b02|2.0.0|{\"rollbackSafe\":true}"
    "a-unsafe|00000000-0000-4000-8000-000000000a03|1.1.0|{}"
    "wrong-build|00000000-0000-4000-8000-000000000c04|2.1.0|{\"rollbackSafe\":true,\"startup\":\"wrong-build\",\"afterStartMs\":60000}"
    "exit-early-safe|00000000-0000-4000-8000-000000000c05|2.2.0|{\"rollbackSafe\":true,\"startup\":\"exit-early\"}"
    "exit-early-unsafe|00000000-0000-4000-8000-000000000c06|2.3.0|{\"startup\":\"exit-early\"}"
    "refuse|00000000-0000-4000-8000-000000000c07|2.4.0|{\"preflight\":\"refuse\",\"preflightError\":\"Profil ist gesperrt.\"}"
    "desktop-approve|00000000-0000-4000-8000-000000000c08|1.2.0|{\"rollbackSafe\":true,\"desktopPipe\":\"approve\"}"
)
index="{"
for entry in "${packages[@]}"; do
    IFS='|' read -r name id version behaviour <<<"$entry"
    folder="$out/source/$name"
    mkdir -p "$folder"
    cp "$app" "$folder/appTESSARO.exe"
    printf '%s' "$behaviour" > "$folder/testapp-behaviour.json"
    printf '{"buildId":"%s","engine":"tessaro-desktop"}' "$version-test" > "$folder/delivery-manifest.json"
    "${publish[@]}" release --data "$out/portal" --from "$folder" --channel stable --version "$version" \
        --build-id "$version-test" --release-id "$id" --authenticode-policy unsigned \
        --profile-schema 1,1,3 --force >/dev/null
    index="$index\"$name\":{\"releaseId\":\"$id\",\"folder\":\"$folder\",\"manifest\":\"$out/portal/releases/$id/manifest.json\"},"
done
printf '%s}' "${index%,}" > "$out/index.json"
echo "$stamp" > "$out/stamp"

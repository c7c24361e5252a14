#!/usr/bin/env bash
# Builds TESSARO.exe and every test for Windows and runs all tests under Wine (GUI tests on Xvfb).
# Usage: scripts/test.sh [BUILD_DIR] [extra ctest arguments...]
set -eEuo pipefail
trap 'echo "test.sh: \"$BASH_COMMAND\" failed with status $? (line $LINENO)" >&2' ERR
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build}"
shift || true

bash "$repo/scripts/setup.sh"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTESSARO_DEVELOPMENT_BUILD=ON >/dev/null
cmake --build "$build"
build="$(cd "$build" && pwd)"

source "$repo/scripts/wine-env.sh" "$build"
trap tessaro_stop_wine EXIT
tessaro_start_display
tessaro_prepare_prefix
# Every run starts from the per-user folders a fresh profile has: a run that was stopped midway could
# not take back what its tests had put there (rm removes links, never what they point at).
rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/CORVALIS "$WINEPREFIX"/drive_c/users/*/AppData/Local/Programs/CORVALIS
# More lanes than cores: tests that only wait for a time-out take no core (ctest-resources.json).
ctest --test-dir "$build" --output-on-failure --timeout 600 -j 8 \
      --resource-spec-file "$build/ctest-resources.json" "$@"

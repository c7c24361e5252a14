#!/usr/bin/env bash
# Copies the ready test prefix ($WINEPREFIX) to $1 for tests that need a wineserver of their own. The
# copy is new on every run; its user folders stay links into the same private home.
set -euo pipefail
destination="$1"
rm -rf "$destination"
cp -a "$WINEPREFIX" "$destination.partial"
mv "$destination.partial" "$destination"

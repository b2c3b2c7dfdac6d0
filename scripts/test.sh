#!/usr/bin/env bash
# Builds Vesplin and its tests and runs the whole suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
bash scripts/build.sh
export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix"
# Whatever happens, the test run's wineserver does not outlive it.
trap 'WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true' EXIT
cd "$BUILD_DIR"
ctest --output-on-failure -j2 "$@"

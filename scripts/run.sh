#!/usr/bin/env bash
# Builds Vesplin.exe and runs its main job under Wine: a capability query that
# prints the supported-state mask and the log it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
bash scripts/build.sh
export WINEPREFIX="$PWD/$BUILD_DIR/runprefix" WINEARCH=win32 WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.vesplin-ready" ]; then
  rm -rf "$WINEPREFIX"
  WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wineboot -i >/dev/null 2>&1
  wineserver -w
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.vesplin-ready"
fi
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

run_dir="$PWD/$BUILD_DIR/run"
mkdir -p "$run_dir"
cp "$BUILD_DIR/bin/Vesplin.exe" "$run_dir/"
cp -r "$BUILD_DIR/bin/HELP" "$run_dir/" 2>/dev/null || true
log="$run_dir/vesplin-run.log"
rm -f "$log"
winlog="Z:$(echo "$log" | tr '/' '\\')"

set +e
wine "$run_dir/Vesplin.exe" -O -Lo "$winlog"
mask=$?
set -e
states=""
for bit in 0 1 2 3; do
  if (( mask & (1 << bit) )); then states="$states S$((bit + 1))"; fi
done
echo "Vesplin.exe -O exit code (supported-state mask): $mask (${states# })"
echo "---- $log"
cat "$log"

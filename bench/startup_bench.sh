#!/usr/bin/env bash
# Start-up cost: Vesplin.exe -O against an empty GUI program built the same way,
# both under Wine with one persistent wineserver, as mean wall times and a ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
arch=${VESPLIN_ARCH:-$(runnable_arch)}
BUILD_DIR=$(build_dir_for "$arch")
use_wine_for "$arch"
echo "$arch build ($BUILD_DIR)"
RUNS=${RUNS:-20}
export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix" WINEDEBUG=-all
[ -f "$WINEPREFIX/.vesplin-ready" ] || { echo "run scripts/test.sh first (it makes the prefix)"; exit 1; }
"$WINESERVER" -p >/dev/null 2>&1 || true  # one may be running already
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
dir="$PWD/$BUILD_DIR/bench-startup"
mkdir -p "$dir"
cp "$BUILD_DIR/bin/Vesplin.exe" "$BUILD_DIR/bin/empty_app.exe" "$BUILD_DIR/bin/empty_gui_app.exe" "$dir/"
winlog="Z:$(echo "$dir/bench.log" | tr '/' '\\')"

measure() {  # prints mean seconds of RUNS starts of "$@"
  "$@" >/dev/null 2>&1 || true  # warm-up
  local start end
  start=$(date +%s.%N)
  for ((i = 0; i < RUNS; i++)); do "$@" >/dev/null 2>&1 || true; done
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$RUNS" 'BEGIN { printf "%.6f", (e - s) / n }'
}
empty=$(measure "$WINE" "$dir/empty_app.exe")
gui=$(measure "$WINE" "$dir/empty_gui_app.exe")
vesplin=$(measure "$WINE" "$dir/Vesplin.exe" -O -Lo "$winlog")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
printf 'runs: %d\n' "$RUNS"
printf 'empty program (kernel32 only):          %.4f s\n' "$empty"
printf 'empty program importing the same DLLs:  %.4f s\n' "$gui"
printf 'Vesplin.exe -O:                         %.4f s\n' "$vesplin"
printf 'ratio to the empty program:             %s\n' "$(ratio "$vesplin" "$empty")"
printf 'ratio to the same-imports program:      %s\n' "$(ratio "$vesplin" "$gui")"

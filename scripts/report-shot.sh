#!/usr/bin/env bash
# Takes docs/report.png: the run report (the HTML page rebuilt after every
# sleep) as headless Chromium draws it.
#
# The page is built by the program's own code: build/bin/report_bench.exe
# --sample writes six made-up records of different verdicts (with resume
# phases, a lost sleep and a refused one) through the program's record writer
# into a results file, then WriteRunReport turns it into the page. Only the
# runnable build (i686 where the host runs 32-bit programs, else x86_64) and
# only that program are built.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
OUT=${OUT:-docs/report.png}

bash scripts/setup.sh
if ! command -v chromium >/dev/null; then
  echo "Installing chromium"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq chromium >/dev/null
fi

arch=$(runnable_arch)
dir=$(build_dir_for "$arch")
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-mingw.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$dir" --target report_bench -j"$(nproc)"

use_wine_for "$arch"
export WINEPREFIX="$PWD/$dir/wineprefix" WINEDEBUG=-all
work=$(mktemp -d)
profile=$(mktemp -d)
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  rm -rf "$work" "$profile"
}
trap cleanup EXIT
# The test prefix of this build (made once by its set-up script).
[ -f "$WINEPREFIX/.vesplin-ready" ] || "$dir/prefix-setup.sh"

winpath() { echo "Z:$(echo "$1" | tr '/' '\\')"; }
"$dir/wine-run.sh" "$dir/bin/report_bench.exe" --sample "$(winpath "$work/vesplin-results.jsonl")"
page="$work/vesplin-results.html"
[ -s "$page" ] || { echo "no page was written" >&2; exit 1; }

mkdir -p "$(dirname "$OUT")"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$profile" --hide-scrollbars \
  --screenshot="$PWD/$OUT" --window-size=1200,1400 "file://$page" 2>/dev/null
echo "page: $(wc -c <"$page") bytes; picture: $OUT"

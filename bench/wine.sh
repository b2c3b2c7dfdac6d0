#!/usr/bin/env bash
# Runs one benchmark program of the build this host can run (i686 where it runs
# 32-bit programs, else x86_64; VESPLIN_ARCH chooses), in that build's test
# prefix with one persistent wineserver: bash bench/wine.sh log_bench.exe [args]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
arch=${VESPLIN_ARCH:-$(runnable_arch)}
dir=$(build_dir_for "$arch")
use_wine_for "$arch"
export WINEPREFIX="$PWD/$dir/wineprefix" WINEDEBUG=-all
[ -f "$WINEPREFIX/.vesplin-ready" ] || { echo "run scripts/test.sh first (it makes the prefix)"; exit 1; }
program=${1:?usage: bench/wine.sh <program.exe or a path to one> [arguments]}
shift
# A bare name is the build's own program; a path names another build's.
case "$program" in */*) path=$program ;; *) path=$dir/bin/$program ;; esac
"$WINESERVER" -p >/dev/null 2>&1 || true  # one may be running already
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
echo "$program ($arch build, $dir)"
"$WINE" "$path" "$@"

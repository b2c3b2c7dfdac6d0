#!/usr/bin/env bash
# Builds Vesplin.exe and runs its main job under Wine: a command-line run of two
# 30-second S1 sleeps with automatic exit, then prints the log and the results
# file it wrote, and ends with the program's exit code. It runs the i686
# program where the host runs 32-bit programs, else the x86_64 one.
#
# Under Wine's own power library the suspend call returns at once: the program
# reports that the machine never slept and exits with 2. With --simulated the
# same job runs on the tests' simulated machine, whose suspend call sleeps the
# 30 seconds and whose sleep and wake stamps say so: exit code 0.
set -euo pipefail
simulated=no
[ "${1:-}" = --simulated ] && simulated=yes
cd "$(dirname "$0")/.."
source scripts/host.sh
bash scripts/build.sh
arch=$(runnable_arch)
dir=$(build_dir_for "$arch")
use_wine_for "$arch"
export WINEPREFIX="$PWD/$dir/runprefix" WINEDEBUG=-all
make_run_prefix
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT

run_dir="$PWD/$dir/run"
mkdir -p "$run_dir"
cp "$dir/bin/Vesplin.exe" "$run_dir/"
cp -r "$dir/bin/HELP" "$run_dir/" 2>/dev/null || true
log="$run_dir/vesplin-run.log"
results="$run_dir/vesplin-results.jsonl"
rm -f "$log" "$results"
winpath() { echo "Z:$(echo "$1" | tr '/' '\\')"; }

if [ "$arch" = i686 ]; then
  echo "Running the shipped i686 (PE32) Vesplin.exe under $WINE"
else
  echo "This host cannot run 32-bit programs: running the x86_64 Vesplin.exe under $WINE"
fi
power=b
if [ $simulated = yes ]; then
  echo "On the simulated machine: the tests' power library, whose suspend call sleeps 30 seconds"
  cp "$dir/simpower/powrprof.dll" "$WINEPREFIX/drive_c/windows/system32/powrprof.dll"
  printf 'sleep_ms=30000\n' >"$run_dir/scenario.txt"
  export SIMPOWER_SCENARIO
  SIMPOWER_SCENARIO=$(winpath "$run_dir/scenario.txt")
  power=n
else
  echo "On Wine's own power library: its suspend call returns at once and the wake timer holds the time"
fi
# Two S1 sleeps of 30 seconds with a timed wake, then automatic exit.
set +e
WINEDLLOVERRIDES="powrprof=$power" "$WINE" "$run_dir/Vesplin.exe" -S1000 -R 30 -N 2 -D 0 -E -Lo "$(winpath "$log")" \
  "--results=$(winpath "$results")"
code=$?
set -e
echo "Vesplin.exe ($arch) -S1000 -R 30 -N 2 -D 0 -E exit code: $code"
echo "---- $log"
cat "$log"
echo "---- $results"
cat "$results" 2>/dev/null || true
exit $code

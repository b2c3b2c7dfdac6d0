#!/usr/bin/env bash
# Takes docs/report.png: the run report that Vesplin.exe itself writes beside
# its results file, as headless Chromium draws it.
#
# The runs are real runs of the runnable build (i686 where the host runs
# 32-bit programs, else x86_64) on the tests' simulated machine, all into one
# results file: four 30-second sleeps woken by their timer (ok), a run lost
# while asleep (killed, as by a power loss) and continued by the restart
# without arguments (lost), and a sleep the machine's stamps say never
# happened (not slept). About four minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
OUT=${OUT:-docs/report.png}

if ! command -v chromium >/dev/null; then
  echo "Installing chromium"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq chromium >/dev/null
fi
bash scripts/build.sh >/dev/null

arch=$(runnable_arch)
dir=$(build_dir_for "$arch")
use_wine_for "$arch"
export WINEPREFIX="$PWD/$dir/runprefix" WINEDEBUG=-all
make_run_prefix
cp "$dir/simpower/powrprof.dll" "$WINEPREFIX/drive_c/windows/system32/powrprof.dll"
work="$PWD/$dir/report-shot"
profile=$(mktemp -d)
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  rm -rf "$profile"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"
cp "$dir/bin/Vesplin.exe" "$work/"
winpath() { echo "Z:$(echo "$1" | tr '/' '\\')"; }
export WINEDLLOVERRIDES="powrprof=n" SIMPOWER_SCENARIO SIMPOWER_JOURNAL
SIMPOWER_SCENARIO=$(winpath "$work/scenario.txt")
SIMPOWER_JOURNAL=$(winpath "$work/journal.txt")
results=$(winpath "$work/night.jsonl")
vesplin() { (cd "$work" && "$WINE" Vesplin.exe "$@") || true; }

echo "sleep_ms=30000" >"$work/scenario.txt"
vesplin -S1010 -R 30 -N 2 -D 0 -C -E -L night.log "--results=$results"

# Lost while asleep: the process ends where it is, then the restart goes on.
echo "sleep_ms=120000" >"$work/scenario.txt"
: >"$work/journal.txt"
(cd "$work" && exec "$WINE" Vesplin.exe -S1000 -N 1 -D 0 -H -C -E -L night.log "--results=$results") &
lost=$!
for _ in $(seq 100); do grep -q SetSuspendState "$work/journal.txt" 2>/dev/null && break; sleep 0.2; done
sleep 1
kill -9 "$lost" 2>/dev/null || true
wait "$lost" 2>/dev/null || true
[ -f "$work/sleepflag" ] || { echo "the lost run left no marker" >&2; exit 1; }
echo "sleep_ms=1500" >"$work/scenario.txt"
vesplin

# A suspend call that takes the 30 seconds although the stamps show no sleep.
printf 'sleep_ms=30000\nasleep_ms=0\n' >"$work/scenario.txt"
vesplin -S0010 -R 30 -N 1 -D 0 -E -L night.log "--results=$results"

page="$work/night.html"
[ -s "$page" ] || { echo "no page was written" >&2; exit 1; }
mkdir -p "$(dirname "$OUT")"
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$profile" --hide-scrollbars \
  --screenshot="$PWD/$OUT" --window-size=1280,2700 "file://$page" 2>/dev/null
echo "records: $(wc -l <"$work/night.jsonl"); page: $(wc -c <"$page") bytes; picture: $OUT"

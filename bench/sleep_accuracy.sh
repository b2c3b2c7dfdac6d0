#!/usr/bin/env bash
# Requested against measured sleep time: a command-line run of S1 sleeps under
# Wine's own power library (the suspend call returns at once and the wake timer
# holds the time), with automatic exit; the log is parsed afterwards.
# CYCLES (default 10) sleeps of DURATION (default 30) seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
arch=${VESPLIN_ARCH:-$(runnable_arch)}
BUILD_DIR=$(build_dir_for "$arch")
use_wine_for "$arch"
echo "$arch build ($BUILD_DIR)"
CYCLES=${CYCLES:-10}
DURATION=${DURATION:-30}
export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix" WINEDEBUG=-all
# Wine's own library, whatever the tests left in the prefix's per-program settings.
export WINEDLLOVERRIDES="powrprof=b"
"$WINESERVER" -p >/dev/null 2>&1 || true

dir="$PWD/$BUILD_DIR/bench-sleep"
rm -rf "$dir"
mkdir -p "$dir"
cp "$BUILD_DIR/bin/Vesplin.exe" "$dir/"
log="$dir/sleep.log"
winlog="Z:$(echo "$log" | tr '/' '\\')"

start=$(date +%s.%N)
set +e
"$WINE" "$dir/Vesplin.exe" -S1000 -R "$DURATION" -N "$CYCLES" -D 0 -E -Lo "$winlog"
rc=$?
set -e
end=$(date +%s.%N)

python3 - "$log" "$DURATION" "$CYCLES" "$rc" "$start" "$end" <<'PY'
import re, sys, datetime
path, duration, cycles, rc, start, end = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
stamp = re.compile(r'^(\d{4}-\w{3}-\d{2} \d{2}:\d{2}:\d{2}) (.*)$')
going, rows = None, []
for raw in open(path, encoding='latin-1'):
    m = stamp.match(raw.rstrip('\r\n'))
    if not m:
        continue
    when = datetime.datetime.strptime(m.group(1), '%Y-%b-%d %H:%M:%S')
    text = m.group(2)
    if text.startswith('Going to sleep, '):
        going = when
    v = re.match(r'Sleep time (OK|too long warning, Sleep time|too short error, Sleep time) (-?\d+)sec', text)
    if v:
        rows.append((int(v.group(2)), (when - going).total_seconds() if going else None, v.group(1).split(',')[0]))
print(f"exit code {rc}; wall time {end - start:.1f} s for {cycles} sleeps of {duration} s")
print(" #  measured  error  log-stamps  verdict")
for i, (measured, stamped, verdict) in enumerate(rows, 1):
    print(f"{i:2d}  {measured:6d} s  {measured - duration:+4d} s  {stamped:8.0f} s   {verdict}")
if rows:
    worst = max(abs(m - duration) for m, _, _ in rows)
    print(f"sleeps judged: {len(rows)}; largest error {worst} s (target: never more than 1 s)")
else:
    print("no verdict lines found")
PY

#!/usr/bin/env bash
# Takes docs/main-window.png: the main window with log lines of every level,
# drawn by Wine's X11 driver on a virtual X display (Xvfb).
#
# The picture comes from build/bin/window_demo.exe, which creates the real
# main window through the program's own code and logs a short run. It runs in
# a Wine prefix of its own (build/wineprefix-x) that keeps the X11 driver, so the
# test prefix with its null driver is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
OUT=${OUT:-docs/main-window.png}
DISPLAY_NUMBER=${DISPLAY_NUMBER:-97}

VESPLIN_WANT_X=1 bash scripts/setup.sh
bash scripts/build.sh
# The i686 build where the host runs 32-bit programs, else the x86_64 one.
arch=$(runnable_arch)
BUILD_DIR=$(build_dir_for "$arch")
use_wine_for "$arch"
echo "drawing the $arch build's window ($BUILD_DIR)"

export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix-x"
export WINEDEBUG=-all
export DISPLAY=":$DISPLAY_NUMBER"
work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$DISPLAY_NUMBER" ] && break
  sleep 0.1
done

# This prefix draws on the X display: no null driver here.
make_run_prefix x11

ready="$work/ready.txt"
rm -f "$ready"
# A Wine desktop of its own draws the window's frame and caption (there is no window manager).
"$WINE" explorer /desktop=vesplin,1024x768 "$BUILD_DIR/bin/window_demo.exe" 60 "$("$WINE" winepath -w "$ready")" >/dev/null 2>&1 &
demo_pid=$!
for _ in $(seq 300); do
  [ -s "$ready" ] && break
  sleep 0.1
done
if [ ! -s "$ready" ]; then
  echo "the window did not come up" >&2
  exit 1
fi
sleep 1
read -r x y w h < "$ready"
mkdir -p "$(dirname "$OUT")"
import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$OUT"
kill "$demo_pid" 2>/dev/null || true
echo "saved $OUT (${w}x${h})"

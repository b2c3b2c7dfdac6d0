# Sourced by the scripts: what this host can run, and the Wine of each build.
#
# Some x86_64 kernels refuse every 32-bit program ("Exec format error"), and
# then Wine's 32-bit loader never starts. The i686 build is still made (it is
# the shipped program), but its tests can only run where 32-bit programs run.

# True when the kernel runs a 32-bit Linux program: a 93-byte static i386 ELF
# that only calls exit(0). Needs nothing installed.
host_runs_elf32() {
  local probe rc
  probe=$(mktemp)
  printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
  printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$probe"
  printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$probe"
  printf '\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000' >>"$probe"
  printf '\000\020\000\000\270\001\000\000\000\061\333\315\200' >>"$probe"
  chmod +x "$probe"
  "$probe" >/dev/null 2>&1
  rc=$?
  rm -f "$probe"
  [ "$rc" = 0 ]
}

# True when Wine's 32-bit loader starts. Tried once; 126 is the shell's
# answer for a program the kernel refused to execute.
host_runs_wine32() {
  if [ -z "${VESPLIN_HOST_WINE32:-}" ]; then
    VESPLIN_HOST_WINE32=no
    if [ -x /usr/lib/wine/wine ]; then
      /usr/lib/wine/wine --version >/dev/null 2>&1
      [ $? = 126 ] || VESPLIN_HOST_WINE32=yes
    fi
    export VESPLIN_HOST_WINE32
  fi
  [ "$VESPLIN_HOST_WINE32" = yes ]
}

# Sets the Wine loader, server and prefix kind for a build ("i686" or "x86_64").
# /usr/bin/wine always picks the 32-bit loader once wine32 is installed, so the
# loaders are called directly.
use_wine_for() {
  case "$1" in
    i686)
      WINE=/usr/lib/wine/wine
      WINEARCH=win32
      ;;
    x86_64)
      WINE=/usr/lib/wine/wine64
      WINEARCH=win64
      ;;
    *)
      echo "unknown build: $1" >&2
      return 1
      ;;
  esac
  WINESERVER=/usr/lib/wine/wineserver64
  [ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
  export WINE WINEARCH WINESERVER WINELOADER="$WINE"
}

# The build folder of each architecture.
build_dir_for() {
  case "$1" in
    i686) echo "${BUILD_DIR:-build}" ;;
    x86_64) echo "${BUILD_DIR_X64:-build-x64}" ;;
  esac
}

# The build the host runs: i686 where 32-bit programs run, else x86_64.
runnable_arch() {
  if host_runs_wine32; then echo i686; else echo x86_64; fi
}

# Makes the prefix $WINEPREFIX (once), with the null graphics driver unless
# "x11" is given (a prefix that draws on a display); use_wine_for must have
# chosen the loader first. The one place that makes prefixes: the scripts and
# the tests' set-up call it.
make_run_prefix() {
  local driver=${1:-null}
  if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/.vesplin-ready" ]; then
    rm -rf "$WINEPREFIX"
    # No Mono or Gecko installers, no display needed.
    WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= "$WINE" wineboot -i >/dev/null 2>&1
    # The desktop of a session keeps the driver it started with: the key must
    # be in place before the session that runs the program begins.
    [ "$driver" = null ] && "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.vesplin-ready"
  fi
  if [ "$driver" = null ]; then
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  else
    "$WINE" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
  fi
  # No server of the set-up outlives it: a caller may start a persistent one.
  "$WINESERVER" -w
}

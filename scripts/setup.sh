#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, when missing.
# wine64 always; wine32 (with the i386 architecture) only where the kernel runs
# 32-bit programs: elsewhere it could not start, and /usr/bin/wine would still
# pick it.
set -euo pipefail
source "$(dirname "$0")/host.sh"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
# The portable part is also built and tested with the host's own compiler.
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
# The Ansible example for many PCs is checked offline (scripts/check_playbook.py).
command -v ansible-playbook >/dev/null || need+=(ansible)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
command -v i686-w64-mingw32-windres >/dev/null || need+=(binutils-mingw-w64-i686)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v x86_64-w64-mingw32-windres >/dev/null || need+=(binutils-mingw-w64-x86-64)
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# The JUnit and fleet tests parse what they check with libxml2.
[ -f /usr/include/libxml2/libxml/parser.h ] || need+=(libxml2-dev)
{ [ -x /usr/lib/wine/wine64 ] && dpkg -s wine >/dev/null 2>&1; } || need+=(wine wine64)
i386=no
if host_runs_elf32; then
  i386=yes
  dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
fi
if [ "${VESPLIN_WANT_X:-0}" = 1 ]; then
  command -v Xvfb >/dev/null || need+=(xvfb)
  command -v import >/dev/null || need+=(imagemagick)
fi

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "Missing packages: ${need[*]}; run as root to install them." >&2
    exit 1
  fi
  echo "Installing: ${need[*]}"
  if [ "$i386" = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

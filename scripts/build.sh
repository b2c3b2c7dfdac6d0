#!/usr/bin/env bash
# Configures and builds everything twice from the same sources: the shipped
# PE32 program and its tests for i686 into ${BUILD_DIR:-build}, and the same
# for x86_64 into ${BUILD_DIR_X64:-build-x64}. VESPLIN_ARCHS limits it
# ("i686", "x86_64" or both, the default).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
bash scripts/setup.sh
for arch in ${VESPLIN_ARCHS:-i686 x86_64}; do
  dir=$(build_dir_for "$arch")
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-mingw.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  echo "== building $arch into $dir"
  cmake --build "$dir" -j"$(nproc)"
done

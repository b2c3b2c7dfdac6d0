#!/usr/bin/env bash
# Fails when a folder (of the tree given, else this one) includes the header of a folder above it, or when any
# folder but ui/ includes the resource identifiers. The layers, lowest first:
#   core < log < settings < results < events < power < ui < app
# (the per-layer link programs of the build catch calls the other way round).
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"
layers=(core log settings results events power ui app)
rank() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo -1
}
bad=0
for folder in "${layers[@]}"; do
  [ -d "$folder" ] || continue
  own=$(rank "$folder")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    if [ "$target" = res ] && [ "$folder" != ui ]; then
      echo "$file:$line: only ui/ includes res/resource.h"
      bad=1
      continue
    fi
    if [ "$(rank "$target")" -gt "$own" ]; then
      echo "$file:$line: $folder/ includes $target/, a layer above it"
      bad=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include "[a-z]+/' "$folder"/*.cpp "$folder"/*.h 2>/dev/null)
done
# core/ and the portable part of results/ (all but the file writer) are free
# of the system: no Windows header.
for file in core/*.cpp core/*.h results/*.cpp results/*.h; do
  [ "$file" = results/result_files.cpp ] && continue
  [ -f "$file" ] || continue
  grep -nHE '#[[:space:]]*include <(windows|winbase|winevt|windef)\.h>' "$file" && bad=1
done
[ "$bad" = 0 ] && echo "layers: every include points down"
exit "$bad"

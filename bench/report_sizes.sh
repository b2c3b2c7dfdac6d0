#!/usr/bin/env bash
# The run report's rebuild after a sleep and its size at 1,000, 10,000 and
# 100,000 records, for a mixed run and for one where every sleep failed, in
# one go on one host: bash bench/report_sizes.sh [earlier build folder]
# With an earlier build folder (a build of an older commit, made with the same
# toolchain), its report_bench.exe runs first on the mixed files, so that the
# figures before and after a change come from the same host and the same minute.
set -euo pipefail
cd "$(dirname "$0")/.."
before=${1:-}
for records in 1000 10000 100000; do
  runs=$([ "$records" -ge 100000 ] && echo 5 || echo 9)
  if [ -n "$before" ]; then
    echo "== before ($before): $records records, mixed"
    bash bench/wine.sh "$before/bin/report_bench.exe" "$records" 5
  fi
  echo "== $records records, mixed"
  bash bench/wine.sh report_bench.exe "$records" "$runs"
  echo "== $records records, every one failed"
  bash bench/wine.sh report_bench.exe "$records" "$runs" --all-failed
done

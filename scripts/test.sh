#!/usr/bin/env bash
# Builds Vesplin and its tests for i686 and x86_64 and runs the suites under
# Wine: both where the host runs 32-bit programs; elsewhere the x86_64 suite
# under wine64, and the image checks of the shipped i686 program, which need no
# Wine. Extra arguments go to every ctest run (for example -R unit).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
bash scripts/build.sh

if host_runs_wine32; then
  suites="i686 x86_64"
  image_only=""
else
  suites="x86_64"
  image_only="i686"
  echo "This host cannot run 32-bit programs: the suite runs on the x86_64 build under wine64 in $(build_dir_for x86_64)/wineprefix; the i686 build gets its image checks only."
fi

# Whatever happens, no test run's wineserver outlives it.
stop_servers() {
  for arch in i686 x86_64; do
    use_wine_for "$arch"
    WINEPREFIX="$PWD/$(build_dir_for "$arch")/wineprefix" "$WINESERVER" -k >/dev/null 2>&1 || true
  done
}
trap stop_servers EXIT

status=0
summary=()
# Runs one ctest in a build folder and keeps its closing count, with the
# GoogleTest case counts of each test program.
run_ctest() {
  local arch=$1 title=$2
  shift 2
  local dir out line cases
  dir=$(build_dir_for "$arch")
  use_wine_for "$arch"
  export WINEPREFIX="$PWD/$dir/wineprefix"
  out=$(mktemp)
  echo "== $title ($dir)"
  (cd "$dir" && ctest --output-on-failure -j2 "$@") 2>&1 | tee "$out" || true
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$out" | tail -n 1 || true)
  grep -qE '^100% tests passed' <<<"$line" || status=1
  cases=$(python3 - "$dir/Testing/Temporary/LastTest.log" <<'PY'
import re, sys
try:
    log = open(sys.argv[1], encoding="latin-1").read()
except OSError:
    sys.exit(0)
# Each program's own closing line is the last one after its header (child
# programs it starts may print theirs before it).
counts, current = {}, None
for line in log.splitlines():
    header = re.match(r'^\d+/\d+ Test: (\S+)', line)
    if header:
        current = header.group(1)
        continue
    ran = re.match(r'^\[==========\] (\d+) tests? from .* ran\.', line)
    if ran and current:
        counts[current] = [ran.group(1), None]
    failed = re.match(r'^\[  FAILED  \] (\d+) tests?, listed below', line)
    if failed and current in counts:
        counts[current][1] = failed.group(1)
parts = ["%s %s cases%s" % (name, n, ", %s failed" % f if f else "") for name, (n, f) in sorted(counts.items())]
print("; ".join(parts))
PY
)
  summary+=("$title: ${line:-no ctest summary}${cases:+ ($cases)}")
  rm -f "$out"
  "$WINESERVER" -k >/dev/null 2>&1 || true
}

# The portable part (core and results) built by the host's compiler: no Wine.
echo "== native (build-native)"
native_line="no ctest summary"
if cmake -S native -B build-native -DCMAKE_BUILD_TYPE=Release >/dev/null &&
   cmake --build build-native -j"$(nproc)"; then
  native_out=$(cd build-native && ctest --output-on-failure 2>&1) || true
  echo "$native_out"
  native_line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' <<<"$native_out" | tail -n 1 || true)
fi
grep -qE '^100% tests passed' <<<"$native_line" || status=1
summary+=("native (host compiler, portable part): ${native_line:-no ctest summary}")

# The Ansible example for many PCs, offline: syntax, every module option against
# ansible-doc, a self-test on broken copies, and the status rules on localhost.
echo "== ansible (examples/ansible)"
if python3 scripts/check_playbook.py; then
  summary+=("ansible: ok")
else
  summary+=("ansible: FAILED (scripts/check_playbook.py)")
  status=1
fi

for arch in $suites; do
  run_ctest "$arch" "$arch suite" "$@"
done
for arch in $image_only; do
  run_ctest "$arch" "$arch image checks" -L image
done

# The distribution archive holds both programs with their help pages.
echo "== dist"
if bash scripts/dist.sh; then
  summary+=("dist: $(ls dist/Vesplin-2.3.0.1006.zip) with x86 and x64 programs and help pages")
else
  summary+=("dist: FAILED")
  status=1
fi

echo "== Suites"
printf '%s\n' "${summary[@]}"
exit $status

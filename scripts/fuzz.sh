#!/bin/sh
# Builds every libFuzzer target with clang (ASan+UBSan) and runs each for a
# while (default 60 s). Seeds live in fuzz/corpus/<target>/ when present.
# Usage: scripts/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz
cmake --build --preset fuzz --target ryn_fuzzers
status=0
found=0
for f in build/fuzz/fuzzers/fuzz_*; do
  [ -x "$f" ] || continue
  found=1
  name=$(basename "$f")
  work=build/fuzz/work/$name
  mkdir -p "$work"
  seeds=""
  [ -d "fuzz/corpus/$name" ] && seeds="fuzz/corpus/$name"
  echo "== $name for ${seconds}s"
  if ! "$f" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$work/" "$work" $seeds >"$work/log.txt" 2>&1; then
    echo "FAILED: $name"; tail -40 "$work/log.txt"; status=1
  else
    grep -E '^(#[0-9]+ +DONE|Done)' "$work/log.txt" | tail -1 || true
  fi
done
[ $found = 1 ] || echo "no fuzz targets built"
exit $status
